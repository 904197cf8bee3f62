#include "FrameCsvFile.h"

#include "CsvExport.h"
#include "ExportLog.h"

FrameCsvFile::FrameCsvFile(const QString &path) : m_file(path) {}

bool FrameCsvFile::open() {
    m_block.reserve(CsvExport::blockCapacity);
    return m_file.open();
}

void FrameCsvFile::append(const std::vector<double> &values, const QString &stamp) {
    if (values.size() < static_cast<std::size_t>(CsvExport::valuesPerFrame)) {
        qCWarning(lcExport) << "Data array does not contain enough data.";
        return;
    }
    if (m_file.failure()) {
        return;  // the rest could only fail the same way
    }
    m_block.clear();
    CsvExport::appendFrame(m_block, stamp, values.data());
    m_file.write(m_block);
    if (!m_file.failure()) {
        ++m_frames;
    }
}

SaveResult FrameCsvFile::close(bool warnIfEmpty) {
    if (warnIfEmpty && m_frames == 0) {
        qCWarning(lcExport) << "No data to save.";
    }
    return m_file.close();
}
