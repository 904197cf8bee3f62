#include <iostream>
#include <sstream>

#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include "LogManager.h"

namespace {

QByteArray logFileContent() {
    QFile file("log.txt");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Captures what the log writes to standard output while it lives.
class CapturedStdout {
public:
    CapturedStdout() : m_previous(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~CapturedStdout() { std::cout.rdbuf(m_previous); }
    std::string text() const { return m_buffer.str(); }

private:
    std::ostringstream m_buffer;
    std::streambuf *m_previous;
};

}  // namespace

class TestLogManager : public QObject {
    Q_OBJECT

private slots:
    void textLineIsAppendedAndMirrored() {
        const QByteArray before = logFileContent();
        CapturedStdout out;
        LogManager::logMessage("Start Capture data.");

        const QByteArray after = logFileContent();
        QVERIFY(after.startsWith(before));  // earlier runs' lines stay
        const QByteArray added = after.mid(before.size());
        static const QRegularExpression line(
            R"(^\[\d{4}-[1-9]\d?-[1-9]\d? \d{1,2}:\d{1,2}:\d{1,2}\] Start Capture data\.\n$)");
        QVERIFY2(line.match(QString::fromUtf8(added)).hasMatch(), added.constData());
        QCOMPARE(QByteArray::fromStdString(out.text()), added);
    }

    void timeFieldsHaveNoLeadingZeros() {
        const QByteArray before = logFileContent();
        LogManager::logMessage("x");
        const QString added = QString::fromUtf8(logFileContent().mid(before.size()));
        static const QRegularExpression padded(R"([-: ]0\d)");
        QVERIFY2(!padded.match(added).hasMatch(), qPrintable(added));
    }

    void hexDumpLines() {
        const QByteArray before = logFileContent();
        CapturedStdout out;
        const unsigned char bytes[] = {0xFF, 0xCC, 0x0A, 0x05};
        LogManager::logBytes(bytes, sizeof bytes);

        QCOMPARE(logFileContent().mid(before.size()), QByteArray("ff cc 0a 05 \n"));
        static const QRegularExpression console(R"(^\[ \d{1,2}:\d{1,2}:\d{1,2}\.\d{1,3} \]FF CC 0A 05 \n$)");
        QVERIFY2(console.match(QString::fromStdString(out.text())).hasMatch(), out.text().c_str());
    }

    void emptyHexDumpWritesAnEmptyLine() {
        const QByteArray before = logFileContent();
        CapturedStdout out;
        LogManager::logBytes(nullptr, 0);
        QCOMPARE(logFileContent().mid(before.size()), QByteArray("\n"));
        static const QRegularExpression console(R"(^\[ \d{1,2}:\d{1,2}:\d{1,2}\.\d{1,3} \]\n$)");
        QVERIFY(console.match(QString::fromStdString(out.text())).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestLogManager)
#include "tst_logmanager.moc"
