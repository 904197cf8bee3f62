// The CSV files of a save run: frame blocks with their time lines, and the two reference grids.

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"

using namespace receivertest;

namespace {

QString readAll(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QStringLiteral("<missing>");
    }
    return QString::fromUtf8(file.readAll());
}

// A full frame whose first values are the given ones and whose others are 0.
std::vector<double> frameStartingWith(std::initializer_list<double> first) {
    std::vector<double> values(4096, 0.0);
    std::copy(first.begin(), first.end(), values.begin());
    return values;
}

// The 64-row block of a frame whose values are all 0 except the first row's start.
QString block(const QString &firstRow) {
    QString text = firstRow + QLatin1Char('\n');
    QStringList zeros;
    for (int i = 0; i < 64; ++i) {
        zeros << QStringLiteral("0");
    }
    for (int row = 1; row < 64; ++row) {
        text += zeros.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text + QLatin1Char('\n');
}

QString firstRow(const QStringList &start) {
    QStringList values = start;
    while (values.size() < 64) {
        values << QStringLiteral("0");
    }
    return values.join(QLatin1Char(','));
}

}  // namespace

class TestReceiverExport : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void framesFormat();
    void numberForms_data();
    void numberForms();
    void missingTimestampsReadUnknown();
    void shortFrameIsLeftOut();
    void emptyFrameList();
    void referenceFormat();
    void emptyReference();
    void unwritablePath();
    void runWritesFourFiles();
    void runWithoutDataWritesNothing();

private:
    QTemporaryDir m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestReceiverExport::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestReceiverExport::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestReceiverExport::framesFormat() {
    const QString path = m_dir->filePath(QStringLiteral("nested/run/run_current.csv"));
    const std::vector<std::vector<double>> frames{frameStartingWith({1.0, -2.5}), frameStartingWith({255.0})};
    const QStringList stamps{QStringLiteral("2024/03/05 14:07:09.042"), QStringLiteral("2024/03/05 14:07:09.059")};
    ReceiverThread::writeFramesCsv(path, frames, stamps);

    const QString text = readAll(path);
    const QString expected = QStringLiteral("Time: 2024/03/05 14:07:09.042\n") +
                             block(firstRow({QStringLiteral("1"), QStringLiteral("-2.5")})) +
                             QStringLiteral("Time: 2024/03/05 14:07:09.059\n") +
                             block(firstRow({QStringLiteral("255")}));
    QCOMPARE(text, expected);
    // A two-frame run: 2 x 66 lines.
    QCOMPARE(text.count(QLatin1Char('\n')), 2 * 66);
}

void TestReceiverExport::numberForms_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("whole") << 255.0 << "255";
    QTest::newRow("six digits") << 12.345678 << "12.3457";
    QTest::newRow("small negative") << -0.000152 << "-0.000152";
    QTest::newRow("exponent form") << 0.000015 << "1.5e-05";
    QTest::newRow("large") << 1234567.0 << "1.23457e+06";
    QTest::newRow("negative current") << -74.99591276199195 << "-74.9959";
    QTest::newRow("trailing zeros dropped") << 2.5 << "2.5";
}

void TestReceiverExport::numberForms() {
    QFETCH(double, value);
    QFETCH(QString, text);
    const QString path = m_dir->filePath(QStringLiteral("value.csv"));
    ReceiverThread::writeReferenceCsv(path, frameStartingWith({value}));
    QCOMPARE(readAll(path).section(QLatin1Char(','), 0, 0), text);
}

void TestReceiverExport::missingTimestampsReadUnknown() {
    const QString path = m_dir->filePath(QStringLiteral("unknown.csv"));
    ReceiverThread::writeFramesCsv(path, {frameStartingWith({}), frameStartingWith({}), frameStartingWith({})},
                                   {QStringLiteral("2024/01/01 00:00:00.000")});
    const QStringList timeLines =
        readAll(path).split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^Time")));
    QCOMPARE(timeLines, (QStringList{QStringLiteral("Time: 2024/01/01 00:00:00.000"), QStringLiteral("Time: Unknown"),
                                     QStringLiteral("Time: Unknown")}));
}

void TestReceiverExport::shortFrameIsLeftOut() {
    const QString path = m_dir->filePath(QStringLiteral("short.csv"));
    QTest::ignoreMessage(QtWarningMsg, "Data array does not contain enough data.");
    ReceiverThread::writeFramesCsv(path, {std::vector<double>(4095, 1.0), frameStartingWith({7.0})},
                                   {QStringLiteral("A"), QStringLiteral("B")});
    // The short frame uses up no timestamp: the written frame takes the first one.
    QCOMPARE(readAll(path), QStringLiteral("Time: A\n") + block(firstRow({QStringLiteral("7")})));
}

void TestReceiverExport::emptyFrameList() {
    const QString path = m_dir->filePath(QStringLiteral("empty.csv"));
    QTest::ignoreMessage(QtWarningMsg, "No data to save.");
    ReceiverThread::writeFramesCsv(path, {}, {});
    QVERIFY(QFile::exists(path));
    QCOMPARE(readAll(path), QString());

    // With timestamps but no frames the file is left empty without a warning.
    const QString second = m_dir->filePath(QStringLiteral("stamped.csv"));
    ReceiverThread::writeFramesCsv(second, {}, {QStringLiteral("2024/01/01 00:00:00.000")});
    QCOMPARE(readAll(second), QString());
}

void TestReceiverExport::referenceFormat() {
    const QString path = m_dir->filePath(QStringLiteral("run_fullon.csv"));
    ReceiverThread::writeReferenceCsv(path, std::vector<double>(4096, 150.0));
    QStringList values;
    for (int i = 0; i < 64; ++i) {
        values << QStringLiteral("150");
    }
    const QString row = values.join(QLatin1Char(',')) + QLatin1Char('\n');
    QCOMPARE(readAll(path), row.repeated(64) + QLatin1Char('\n'));
}

void TestReceiverExport::emptyReference() {
    const QString path = m_dir->filePath(QStringLiteral("none.csv"));
    QTest::ignoreMessage(QtWarningMsg, "No data to save.");
    ReceiverThread::writeReferenceCsv(path, {});
    QCOMPARE(readAll(path), QString());
}

void TestReceiverExport::unwritablePath() {
    // A file stands where the folder should be: nothing can be created below it.
    QFile blocker(m_dir->filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString frames = m_dir->filePath(QStringLiteral("blocker/run/run_current.csv"));
    const QString reference = m_dir->filePath(QStringLiteral("blocker/run/run_fullon.csv"));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Could not open file for writing: ") + frames));
    ReceiverThread::writeFramesCsv(frames, {frameStartingWith({})}, {});
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Could not open file for writing: ") + reference));
    ReceiverThread::writeReferenceCsv(reference, std::vector<double>(4096, 1.0));
    QVERIFY(!QFile::exists(frames));
}

void TestReceiverExport::runWritesFourFiles() {
    ReceiverThread worker;
    worker.m_currentMode = true;
    worker.m_integralTime = 64000.0;
    worker.m_integralCurrent = 9.6;
    worker.m_currentRange = 150;
    worker.m_savePath = m_dir->path();
    worker.m_saveName = QStringLiteral("scan");
    worker.m_saveFrames = 2;
    worker.m_saveData = true;
    worker.m_recording = true;
    QVERIFY(worker.saveInProgress());
    worker.renderFrame(uniformFrame(0));
    QVERIFY(worker.m_saveData.load());
    worker.renderFrame(uniformFrame(16384));
    QVERIFY(!worker.m_saveData.load());
    QVERIFY(!worker.saveInProgress());

    const QString base = m_dir->filePath(QStringLiteral("scan/scan"));
    const QString current = readAll(base + QStringLiteral("_current.csv"));
    QCOMPARE(current.count(QLatin1Char('\n')), 2 * 66);
    // The renderer takes no timestamps itself; the loop does.
    QCOMPARE(current.count(QStringLiteral("Time: Unknown\n")), 2);
    const QStringList lines = current.split(QLatin1Char('\n'));
    QCOMPARE(lines.at(1).section(QLatin1Char(','), 0, 0), QStringLiteral("75"));
    QCOMPARE(lines.at(67).section(QLatin1Char(','), 0, 0), QStringLiteral("141.965"));
    const QStringList grays = readAll(base + QStringLiteral("_gray.csv")).split(QLatin1Char('\n'));
    QCOMPARE(grays.at(1).section(QLatin1Char(','), 0, 0), QStringLiteral("127"));
    QCOMPARE(grays.at(67).section(QLatin1Char(','), 0, 0), QStringLiteral("241"));
    // No calibration captured: the references as they started.
    QVERIFY(readAll(base + QStringLiteral("_fullon.csv")).startsWith(QStringLiteral("150,150,")));
    QVERIFY(readAll(base + QStringLiteral("_fulloff.csv")).startsWith(QStringLiteral("0,0,")));
    QCOMPARE(readAll(base + QStringLiteral("_fulloff.csv")).count(QLatin1Char('\n')), 65);
}

void TestReceiverExport::runWithoutDataWritesNothing() {
    ReceiverThread worker;
    worker.m_currentRange = 150;
    worker.m_savePath = m_dir->path();
    worker.m_saveName = QStringLiteral("quiet");
    worker.m_saveFrames = 1;
    worker.m_recording = true;
    worker.renderFrame(uniformFrame(0));
    QVERIFY(!worker.m_recording.load());
    QVERIFY(!QDir(m_dir->filePath(QStringLiteral("quiet"))).exists());
}

QTEST_GUILESS_MAIN(TestReceiverExport)
#include "tst_receiver_export.moc"
