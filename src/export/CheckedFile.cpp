#include "CheckedFile.h"

#include <QDir>
#include <QFileInfo>

#include "ExportLog.h"

namespace {

void makeParentDirectory(const QString &path) {
    const QDir directory = QFileInfo(path).absoluteDir();
    if (!directory.exists()) {
        directory.mkpath(QStringLiteral("."));
    }
}

}  // namespace

bool CheckedFile::open() {
    makeParentDirectory(m_file.fileName());
    // Unbuffered: each block goes to the system at once, so a full disk shows at the write that hit it, and a
    // run that is killed leaves every block it wrote.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate | QIODevice::Unbuffered)) {
        qCWarning(lcExport).noquote() << "Could not open file for writing:" << m_file.fileName();
        m_failure = SaveFailure{m_file.fileName(), m_file.errorString()};
        return false;
    }
    return true;
}

void CheckedFile::write(const std::string &block) {
    if (m_failure || block.empty()) {
        return;
    }
    if (!writeFully(m_file, block.data(), static_cast<qint64>(block.size()))) {
        m_failure = SaveFailure{m_file.fileName(), m_file.errorString()};
    }
}

SaveResult CheckedFile::close() {
    if (m_file.isOpen()) {
        if (!m_failure && !m_file.flush()) {
            m_failure = SaveFailure{m_file.fileName(), m_file.errorString()};
        }
        m_file.close();
        if (!m_failure && m_file.error() != QFileDevice::NoError) {
            m_failure = SaveFailure{m_file.fileName(), m_file.errorString()};
        }
    }
    if (m_failure) {
        qCWarning(lcExport).noquote() << "File error after attempt to write:" << m_failure->reason;
    }
    return m_failure;
}
