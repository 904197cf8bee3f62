// The conversion table against the formula it replaces: every code, bit for bit.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include <QTest>

#include "ConversionTable.h"
#include "PixelConversion.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double value) {
    return std::bit_cast<std::uint64_t>(value);
}

QString describe(double value) {
    return QString::number(value, 'g', 17) + QStringLiteral(" (0x%1)").arg(bits(value), 16, 16, QLatin1Char('0'));
}

// The first code whose table entries differ from the formula's, or an empty string when all agree.
QString firstMismatch(const ConversionTable &table, const PixelConversion &formula) {
    for (int code = 0; code < ConversionTable::codeCount; ++code) {
        const double current = formula.current(code);
        const double gray = PixelConversion::grayLevel(formula.plainScale(current));
        const unsigned char pixel = PixelConversion::pixelValue(gray);
        if (bits(table.current(code)) != bits(current) || bits(table.plainGray(code)) != bits(gray) ||
            table.plainPixel(code) != pixel) {
            return QStringLiteral("code %1: current %2 / %3, gray %4 / %5, pixel %6 / %7")
                .arg(code)
                .arg(describe(table.current(code)), describe(current), describe(table.plainGray(code)), describe(gray))
                .arg(table.plainPixel(code))
                .arg(pixel);
        }
    }
    return {};
}

}  // namespace

class TestConversionTable : public QObject {
    Q_OBJECT

private slots:
    void matchesFormula_data() {
        QTest::addColumn<double>("timeNs");
        QTest::addColumn<double>("capacitancePf");
        QTest::addColumn<int>("rangeNa");
        // Whether some current must come out as not a number (so the row really takes that path).
        QTest::addColumn<bool>("someNaN");
        QTest::newRow("9.6 pF, 64 us, 150 nA") << 64000.0 << 9.6 << 150 << false;
        QTest::newRow("100 nA gear") << 91200.0 << 9.6 << 100 << false;
        QTest::newRow("0.13 pF, 1.3 ms, 1 nA") << 1300000.0 << 0.13 << 1 << false;
        QTest::newRow("range wider than every current") << 64000.0 << 9.6 << std::numeric_limits<int>::max() << false;
        QTest::newRow("integration time 0 (infinite currents)") << 0.0 << 9.6 << 150 << false;
        QTest::newRow("time and capacitance 0") << 0.0 << 0.0 << 150 << true;
        QTest::newRow("capacitance 0") << 64000.0 << 0.0 << 150 << false;
        QTest::newRow("capacitance -0") << 64000.0 << -0.0 << 150 << false;
        QTest::newRow("range 0 (no plain scale)") << 64000.0 << 9.6 << 0 << false;
        QTest::newRow("negative range") << 64000.0 << 9.6 << -10 << false;
        QTest::newRow("NaN integration time") << kNaN << 9.6 << 150 << true;
        QTest::newRow("NaN capacitance, range 0") << 64000.0 << kNaN << 0 << true;
    }
    void matchesFormula() {
        QFETCH(double, timeNs);
        QFETCH(double, capacitancePf);
        QFETCH(int, rangeNa);
        QFETCH(bool, someNaN);
        for (bool positive : {true, false}) {
            const PixelConversion formula(positive, timeNs, capacitancePf, rangeNa);
            const auto table = std::make_unique<ConversionTable>(formula);
            QVERIFY(table->holds(formula));
            const QString mismatch = firstMismatch(*table, formula);
            const char *polarity = positive ? "positive" : "negative";
            QVERIFY2(mismatch.isEmpty(), qPrintable(QLatin1String(polarity) + QStringLiteral(": ") + mismatch));
            bool sawNaN = false;
            for (int code = 0; code < ConversionTable::codeCount && !sawNaN; ++code) {
                sawNaN = std::isnan(table->current(code));
            }
            QCOMPARE(sawNaN, someNaN);
        }
    }

    // A table kept across frames follows every change of the four values and only those.
    void rebuildsOnChange_data() {
        QTest::addColumn<bool>("positive");
        QTest::addColumn<double>("timeNs");
        QTest::addColumn<double>("capacitancePf");
        QTest::addColumn<int>("rangeNa");
        QTest::addColumn<bool>("rebuilt");
        QTest::newRow("same values") << true << 64000.0 << 9.6 << 150 << false;
        QTest::newRow("polarity") << false << 64000.0 << 9.6 << 150 << true;
        QTest::newRow("integration time") << true << 91200.0 << 9.6 << 150 << true;
        QTest::newRow("capacitance") << true << 64000.0 << 2.4 << 150 << true;
        QTest::newRow("range") << true << 64000.0 << 9.6 << 100 << true;
        QTest::newRow("integration time by one ulp") << true << std::nextafter(64000.0, 0.0) << 9.6 << 150 << true;
    }
    void rebuildsOnChange() {
        QFETCH(bool, positive);
        QFETCH(double, timeNs);
        QFETCH(double, capacitancePf);
        QFETCH(int, rangeNa);
        QFETCH(bool, rebuilt);
        const PixelConversion before(true, 64000.0, 9.6, 150);
        const PixelConversion after(positive, timeNs, capacitancePf, rangeNa);
        ConversionTable table(before);
        QCOMPARE(table.update(after), rebuilt);
        QVERIFY(table.holds(after));
        QCOMPARE(table.holds(before), !rebuilt);
        QCOMPARE(firstMismatch(table, after), QString());
    }

    // Zeros of either sign and NaNs: the comparison is by bits, because the results differ by bits.
    void signedZeroAndNaNParameters() {
        ConversionTable table(PixelConversion(true, 64000.0, 0.0, 150));
        const PixelConversion negativeZero(true, 64000.0, -0.0, 150);
        QVERIFY(std::signbit(negativeZero.current(0)));
        QVERIFY(!std::signbit(table.current(0)));
        QVERIFY(table.update(negativeZero));
        QVERIFY(std::signbit(table.current(0)));

        const PixelConversion noTime(true, kNaN, 9.6, 150);
        QVERIFY(table.update(noTime));
        QVERIFY(!table.update(PixelConversion(true, kNaN, 9.6, 150)));
        QCOMPARE(firstMismatch(table, noTime), QString());
    }

    void emptyTableHoldsNothing() {
        ConversionTable table;
        QVERIFY(!table.holds(PixelConversion()));
        QVERIFY(table.update(PixelConversion()));
        QVERIFY(table.holds(PixelConversion()));
    }
};

QTEST_GUILESS_MAIN(TestConversionTable)
#include "tst_conversiontable.moc"
