// The stored settings file, made of arbitrary bytes, loaded the way the program loads it: the programs set a
// file holding binary values aside first, then the acquisition worker reads its stored conversion values when
// it is built, and stores them back when it goes. Properties: loading never fails whatever the file holds, the
// loaded values convert pixel codes into currents within the loaded range (or NaN), a frame renders, and what
// the worker stores reads back unchanged.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include "AppSettings.h"
#include "FuzzCheck.h"
#include "FuzzQuiet.h"
#include "ReceiverThread.h"
#include "StoredSettingsScreen.h"
#include "WireFormat.h"

namespace {

QTemporaryDir *g_root = nullptr;

bool sameDouble(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// What Qt reads from an INI value without a binary stream: text, a list, or one of Qt's textual forms (an
// invalid value is "@Invalid()", or a stream that failed at once).
bool isTextual(const QVariant &value) {
    switch (value.typeId()) {
        case QMetaType::UnknownType:
        case QMetaType::QString:
        case QMetaType::QStringList:
        case QMetaType::QByteArray:
        case QMetaType::QRect:
        case QMetaType::QSize:
        case QMetaType::QPoint:
            return true;
        case QMetaType::QVariantList: {
            const QVariantList elements = value.toList();
            return std::all_of(elements.begin(), elements.end(), isTextual);
        }
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    silenceProgramLogging();
    // Qt syncs every settings file it writes to disk; in memory (where there is a tmpfs) that costs
    // nothing, and the fuzzer runs a hundred times as many inputs.
    static QTemporaryDir root(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                  ? QStringLiteral("/dev/shm/vantiko-fuzz-XXXXXX")
                                  : QDir::tempPath() + QStringLiteral("/vantiko-fuzz-XXXXXX"));
    if (!root.isValid()) {
        std::abort();
    }
    g_root = &root;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A fresh folder for every input: Qt keeps parsed settings files cached by path and re-reads one only
    // when its size or time stamp changed, which two quick inputs of the same size may not show.
    static unsigned long counter = 0;
    const QString folder = g_root->filePath(QString::number(++counter));
    QDir(folder).removeRecursively();
    FUZZ_CHECK(QDir().mkpath(folder + QLatin1Char('/') + QLatin1String(AppSettings::organisation)));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    {
        QFile file(QStringLiteral("%1/%2/%3.conf")
                       .arg(folder, QLatin1String(AppSettings::organisation), QLatin1String(AppSettings::application)));
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        FUZZ_CHECK(file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) ==
                   static_cast<qint64>(size));
    }

    // As the programs start: a file holding binary values is set aside before anything reads it.
    const bool binary = StoredSettingsScreen::holdsBinaryValue(
        QByteArrayView(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    FUZZ_CHECK(StoredSettingsScreen::setAsideIfDamaged().isEmpty() != binary);
    // What stays is read by Qt without binary decoding: each value is text, or one of Qt's textual forms.
    {
        QSettings kept(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application));
        for (const QString &key : kept.allKeys()) {
            FUZZ_CHECK(isTextual(kept.value(key)));
        }
    }

    double time = 0;
    double capacitance = 0;
    bool positive = false;
    int range = 0;
    {
        ReceiverThread worker;
        time = worker.m_integralTime.load();
        capacitance = worker.m_integralCurrent.load();
        positive = worker.m_currentMode.load();
        range = worker.m_currentRange.load();
        for (const int code : {0, 1, 0x7FFF, 0x8000, 0xFFFF}) {
            const double current = worker.codeToCurrent(code);
            const double limit = std::fabs(static_cast<double>(range));
            FUZZ_CHECK(std::isnan(current) || std::fabs(current) <= limit);
        }
        const QImage image = worker.renderFrame(std::vector<unsigned char>(wire::recordLength, 0x5A));
        FUZZ_CHECK(image.width() == wire::imageSide && image.height() == wire::imageSide);
    }
    // The worker stored its values on the way out; the next worker loads exactly those.
    {
        ReceiverThread again;
        FUZZ_CHECK(sameDouble(again.m_integralTime.load(), time));
        FUZZ_CHECK(sameDouble(again.m_integralCurrent.load(), capacitance));
        FUZZ_CHECK(again.m_currentMode.load() == positive);
        FUZZ_CHECK(again.m_currentRange.load() == range);
    }
    QDir(folder).removeRecursively();
    return 0;
}
