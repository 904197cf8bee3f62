#include <QTest>

#include "IntegrationSearch.h"

class TestIntegrationSearch : public QObject {
    Q_OBJECT

private slots:
    void search_data() {
        QTest::addColumn<double>("range");
        QTest::addColumn<int>("time");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("gear");
        QTest::newRow("500 nA") << 500.0 << 18240 << 1459 << 7;
        QTest::newRow("150 nA (start-up values)") << 150.0 << 60800 << 4864 << 7;
        QTest::newRow("100 nA") << 100.0 << 91200 << 7296 << 7;
        QTest::newRow("10 nA") << 10.0 << 912000 << 72960 << 7;
        QTest::newRow("2.5 nA takes 2.4 pF") << 2.5 << 912000 << 72960 << 4;
        QTest::newRow("1 nA takes 1.2 pF") << 1.0 << 1140000 << 91200 << 3;
        QTest::newRow("lowest range that fits") << 0.095 << 1300000 << 104000 << 0;
    }
    void search() {
        QFETCH(double, range);
        QFETCH(int, time);
        QFETCH(int, count);
        QFETCH(int, gear);
        const auto choice = IntegrationSearch::find(range);
        QVERIFY(choice);
        QCOMPARE(choice->integrationTimeNs, time);
        QCOMPARE(choice->integrationCount, count);
        QCOMPARE(choice->gearCode, gear);
    }

    void nothingFits_data() {
        QTest::addColumn<double>("range");
        QTest::newRow("zero") << 0.0;
        QTest::newRow("negative") << -10.0;
        QTest::newRow("1000 nA") << 1000.0;
        QTest::newRow("below 0.095 nA") << 0.09;
        QTest::newRow("not a number") << qQNaN();
    }
    void nothingFits() {
        QFETCH(double, range);
        QVERIFY(!IntegrationSearch::find(range));
    }

    void frameRate_data() {
        QTest::addColumn<double>("range");
        QTest::addColumn<int>("fps");
        QTest::newRow("below 9") << 8.9 << 13;
        QTest::newRow("10") << 10.0 << 15;
        QTest::newRow("30") << 30.0 << 37;
        QTest::newRow("50") << 50.0 << 53;
        QTest::newRow("60 and above") << 60.0 << 60;
        QTest::newRow("500") << 500.0 << 60;
    }
    void frameRate() {
        QFETCH(double, range);
        QFETCH(int, fps);
        QCOMPARE(IntegrationSearch::estimatedFrameRate(range), fps);
    }

    void gearCodesMapToTheTable() {
        QCOMPARE(IntegrationSearch::capacitanceOfGear(7), 9.6);
        QCOMPARE(IntegrationSearch::capacitanceOfGear(3), 1.2);
        QCOMPARE(IntegrationSearch::capacitanceOfGear(0), 0.13);
    }
};

QTEST_GUILESS_MAIN(TestIntegrationSearch)
#include "tst_integrationsearch.moc"
