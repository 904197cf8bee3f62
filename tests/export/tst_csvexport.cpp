// The CSV files of a save run as CsvExport writes them: frame blocks with their time lines, the two reference
// grids, the number forms, and the failures a run reports.

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include "CsvExport.h"
#include "TextFile.h"

namespace {

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

// How a default text stream writes the value; the CSV files have always been written that way.
QString streamed(double value) {
    QString text;
    QTextStream out(&text);
    out << value;
    out.flush();
    return text;
}

QString formatted(double value) {
    char buffer[CsvExport::maxValueLength];
    const char *end = CsvExport::formatValue(value, buffer);
    return QString::fromLatin1(buffer, end - buffer);
}

QString firstRow(const QStringList &start) {
    QStringList values = start;
    while (values.size() < 64) {
        values << QStringLiteral("0");
    }
    return values.join(QLatin1Char(','));
}

}  // namespace

class TestCsvExport : public QObject {
    Q_OBJECT

private slots:
    void init();
    void framesFormat();
    void numberForms_data();
    void numberForms();
    void valueFormMatchesTextStream_data();
    void valueFormMatchesTextStream();
    void randomValuesMatchTextStream();
    void fileMatchesTextStream();
    void missingTimestampsReadUnknown();
    void shortFrameIsLeftOut();
    void emptyFrameList();
    void referenceFormat();
    void emptyReference();
    void unwritablePath();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestCsvExport::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestCsvExport::framesFormat() {
    const QString path = m_dir->filePath(QStringLiteral("nested/run/run_current.csv"));
    const std::vector<std::vector<double>> frames{frameStartingWith({1.0, -2.5}), frameStartingWith({255.0})};
    const QStringList stamps{QStringLiteral("2024/03/05 14:07:09.042"), QStringLiteral("2024/03/05 14:07:09.059")};
    CsvExport::writeFrames(path, frames, stamps);

    const QString text = readTextFile(path);
    const QString expected = QStringLiteral("Time: 2024/03/05 14:07:09.042\n") +
                             block(firstRow({QStringLiteral("1"), QStringLiteral("-2.5")})) +
                             QStringLiteral("Time: 2024/03/05 14:07:09.059\n") +
                             block(firstRow({QStringLiteral("255")}));
    QCOMPARE(text, expected);
    // A two-frame run: 2 x 66 lines.
    QCOMPARE(text.count(QLatin1Char('\n')), 2 * 66);
}

void TestCsvExport::numberForms_data() {
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

void TestCsvExport::numberForms() {
    QFETCH(double, value);
    QFETCH(QString, text);
    const QString path = m_dir->filePath(QStringLiteral("value.csv"));
    CsvExport::writeReference(path, frameStartingWith({value}));
    QCOMPARE(readTextFile(path).section(QLatin1Char(','), 0, 0), text);
}

void TestCsvExport::valueFormMatchesTextStream_data() {
    QTest::addColumn<double>("value");
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("zero") << 0.0;
    QTest::newRow("negative zero") << -0.0;
    QTest::newRow("1e-05") << 1e-05;
    QTest::newRow("0.0001, last fixed form") << 0.0001;
    QTest::newRow("12.3457") << 12.3457;
    QTest::newRow("150") << 150.0;
    QTest::newRow("-150") << -150.0;
    QTest::newRow("nan") << nan;
    QTest::newRow("negative nan") << -nan;
    QTest::newRow("infinity") << inf;
    QTest::newRow("negative infinity") << -inf;
    QTest::newRow("1e+300") << 1e300;
    QTest::newRow("largest") << std::numeric_limits<double>::max();
    QTest::newRow("smallest normal") << std::numeric_limits<double>::min();
    QTest::newRow("smallest denormal") << std::numeric_limits<double>::denorm_min();
    QTest::newRow("negative denormal") << -3.5e-320;
    QTest::newRow("999999, last fixed form") << 999999.0;
    QTest::newRow("999999.5 rounds up to 1e+06") << 999999.5;
    QTest::newRow("999999.4 rounds down") << 999999.4;
    QTest::newRow("just below 999999.5") << std::nextafter(999999.5, 0.0);
    QTest::newRow("just below 99999.95") << std::nextafter(99999.95, 0.0);
    QTest::newRow("just below 1e-04") << std::nextafter(1e-04, 0.0);
    // Exact halves between two 6-digit decimals: the stream rounds them away from zero.
    QTest::newRow("tie 100000.5") << 100000.5;
    QTest::newRow("tie -123456.5") << -123456.5;
    QTest::newRow("tie 1000005") << 1000005.0;
    QTest::newRow("tie 1000025") << 1000025.0;
    QTest::newRow("tie 10000050") << 10000050.0;
    QTest::newRow("tie 1.000005e+20") << 1.000005e20;
    QTest::newRow("tie 1234.565 is not exact") << 1234.565;
    QTest::newRow("tie 0.1234565 is not exact") << 0.1234565;
    QTest::newRow("tie 40000.25") << 40000.25;
    QTest::newRow("exact binary fraction, no tie") << 1000.00390625;
}

void TestCsvExport::valueFormMatchesTextStream() {
    QFETCH(double, value);
    QCOMPARE(formatted(value), streamed(value));
}

void TestCsvExport::randomValuesMatchTextStream() {
    std::mt19937_64 random(20240305);
    std::uniform_real_distribution<double> exponent(-12.0, 12.0);
    int mismatches = 0;
    QString first;
    const auto check = [&](double value) {
        if (formatted(value) != streamed(value)) {
            if (mismatches++ == 0) {
                first = QString::number(value, 'g', 17) + QStringLiteral(": ") + formatted(value) +
                        QStringLiteral(" vs ") + streamed(value);
            }
        }
    };
    for (int i = 0; i < 100000; ++i) {
        // Any bit pattern: every exponent, denormals, not-a-numbers with either sign.
        const std::uint64_t bits = random();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        check(value);
        // Currents and gray levels as they come: a few digits around 1, some of them halves.
        const double magnitude = std::pow(10.0, exponent(random));
        const double signedValue = (bits & 1) != 0 ? -magnitude : magnitude;
        check(signedValue);
        check(std::round(signedValue * 2.0) / 2.0);
        check(std::round(signedValue * 1000.0) / 1000.0);
    }
    QVERIFY2(mismatches == 0, qPrintable(QString::number(mismatches) + QStringLiteral(" mismatches, first ") + first));
}

void TestCsvExport::fileMatchesTextStream() {
    // Two frames of varied values and a reference: every byte as a text stream writes them.
    std::mt19937_64 random(7);
    std::normal_distribution<double> current(0.0, 80.0);
    std::vector<std::vector<double>> frames(2, std::vector<double>(4096));
    for (auto &frame : frames) {
        for (double &value : frame) {
            value = current(random);
        }
    }
    frames[1][5] = std::numeric_limits<double>::quiet_NaN();
    frames[1][6] = -std::numeric_limits<double>::infinity();
    frames[1][7] = -0.0;
    const QStringList stamps{QStringLiteral("2024/03/05 14:07:09.042")};

    QString expected;
    QTextStream out(&expected);
    for (std::size_t j = 0; j < frames.size(); ++j) {
        out << "Time: " << (j < std::size_t(stamps.size()) ? stamps.at(j) : QStringLiteral("Unknown")) << '\n';
        for (int row = 0; row < 64; ++row) {
            for (int column = 0; column < 64; ++column) {
                if (column > 0) {
                    out << ',';
                }
                out << frames[j][row * 64 + column];
            }
            out << '\n';
        }
        out << '\n';
    }
    out.flush();

    const QString path = m_dir->filePath(QStringLiteral("mixed.csv"));
    QVERIFY(!CsvExport::writeFrames(path, frames, stamps));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), expected.toUtf8());
}

void TestCsvExport::missingTimestampsReadUnknown() {
    const QString path = m_dir->filePath(QStringLiteral("unknown.csv"));
    CsvExport::writeFrames(path, {frameStartingWith({}), frameStartingWith({}), frameStartingWith({})},
                           {QStringLiteral("2024/01/01 00:00:00.000")});
    const QStringList timeLines =
        readTextFile(path).split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^Time")));
    QCOMPARE(timeLines, (QStringList{QStringLiteral("Time: 2024/01/01 00:00:00.000"), QStringLiteral("Time: Unknown"),
                                     QStringLiteral("Time: Unknown")}));
}

void TestCsvExport::shortFrameIsLeftOut() {
    const QString path = m_dir->filePath(QStringLiteral("short.csv"));
    QTest::ignoreMessage(QtWarningMsg, "Data array does not contain enough data.");
    CsvExport::writeFrames(path, {std::vector<double>(4095, 1.0), frameStartingWith({7.0})},
                           {QStringLiteral("A"), QStringLiteral("B")});
    // The short frame uses up no timestamp: the written frame takes the first one.
    QCOMPARE(readTextFile(path), QStringLiteral("Time: A\n") + block(firstRow({QStringLiteral("7")})));
}

void TestCsvExport::emptyFrameList() {
    const QString path = m_dir->filePath(QStringLiteral("empty.csv"));
    QTest::ignoreMessage(QtWarningMsg, "No data to save.");
    CsvExport::writeFrames(path, {}, {});
    QVERIFY(QFile::exists(path));
    QCOMPARE(readTextFile(path), QString());

    // With timestamps but no frames the file is left empty without a warning.
    const QString second = m_dir->filePath(QStringLiteral("stamped.csv"));
    CsvExport::writeFrames(second, {}, {QStringLiteral("2024/01/01 00:00:00.000")});
    QCOMPARE(readTextFile(second), QString());
}

void TestCsvExport::referenceFormat() {
    const QString path = m_dir->filePath(QStringLiteral("run_fullon.csv"));
    CsvExport::writeReference(path, std::vector<double>(4096, 150.0));
    QStringList values;
    for (int i = 0; i < 64; ++i) {
        values << QStringLiteral("150");
    }
    const QString row = values.join(QLatin1Char(',')) + QLatin1Char('\n');
    QCOMPARE(readTextFile(path), row.repeated(64) + QLatin1Char('\n'));
}

void TestCsvExport::emptyReference() {
    const QString path = m_dir->filePath(QStringLiteral("none.csv"));
    QTest::ignoreMessage(QtWarningMsg, "No data to save.");
    CsvExport::writeReference(path, {});
    QCOMPARE(readTextFile(path), QString());
}

void TestCsvExport::unwritablePath() {
    // A file stands where the folder should be: nothing can be created below it.
    QFile blocker(m_dir->filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString frames = m_dir->filePath(QStringLiteral("blocker/run/run_current.csv"));
    const QString reference = m_dir->filePath(QStringLiteral("blocker/run/run_fullon.csv"));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Could not open file for writing: ") + frames));
    CsvExport::writeFrames(frames, {frameStartingWith({})}, {});
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Could not open file for writing: ") + reference));
    CsvExport::writeReference(reference, std::vector<double>(4096, 1.0));
    QVERIFY(!QFile::exists(frames));
}

QTEST_GUILESS_MAIN(TestCsvExport)
#include "tst_csvexport.moc"
