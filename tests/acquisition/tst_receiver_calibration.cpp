// Full-on/full-off captures: ten frames per capture, reduced per pixel to the mean of the eight middle values.

#include <algorithm>
#include <array>
#include <numeric>
#include <random>

#include <QTemporaryDir>
#include <QTest>

#include "CalibrationReducer.h"
#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"

using namespace receivertest;

class TestReceiverCalibration : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void trimmedMean_data();
    void trimmedMean();
    void trimmedMeanIgnoresOrder();
    void fullOnCaptureTakesTenFrames();
    void outliersAreDropped();
    void fullOffCaptureLeavesFullOnAlone();
    void captureFollowsPolarityAndRange();
    void settingTheRangeRefillsFullOn();

private:
    QTemporaryDir m_settingsDir;
};

void TestReceiverCalibration::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

using Ten = std::array<double, 10>;
Q_DECLARE_METATYPE(Ten)

void TestReceiverCalibration::trimmedMean_data() {
    QTest::addColumn<Ten>("values");
    QTest::addColumn<double>("mean");
    QTest::newRow("1..9 and an outlier") << Ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 100} << 5.5;
    QTest::newRow("outlier first, low value last") << Ten{100, 9, 8, 7, 6, 5, 4, 3, 2, 1} << 5.5;
    QTest::newRow("all equal 0.1") << Ten{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1} << 0.1;
    QTest::newRow("all equal 141.96530752378771")
        << Ten{141.96530752378771, 141.96530752378771, 141.96530752378771, 141.96530752378771, 141.96530752378771,
               141.96530752378771, 141.96530752378771, 141.96530752378771, 141.96530752378771, 141.96530752378771}
        << 141.96530752378771;
    QTest::newRow("negative currents") << Ten{-1, -2, -3, -4, -5, -6, -7, -8, -9, -100} << -5.5;
    QTest::newRow("both ends extreme") << Ten{-1000, 2, 2, 2, 2, 2, 2, 2, 2, 1000} << 2.0;
}

void TestReceiverCalibration::trimmedMean() {
    QFETCH(Ten, values);
    QFETCH(double, mean);
    QCOMPARE(CalibrationReducer::trimmedMean(values.data()), mean);
    QVERIFY(CalibrationReducer::trimmedMean(values.data()) == mean);
}

void TestReceiverCalibration::trimmedMeanIgnoresOrder() {
    Ten values{3.25, -1.5, 7.125, 0.1, 12.3456789, 5.5, 5.5, -0.0001, 99.0, 2.0};
    const double reference = CalibrationReducer::trimmedMean(Ten(values).data());
    std::mt19937 random(4711);
    for (int round = 0; round < 50; ++round) {
        std::shuffle(values.begin(), values.end(), random);
        Ten copy = values;
        QVERIFY(CalibrationReducer::trimmedMean(copy.data()) == reference);
    }
}

namespace {

void configure(ReceiverThread &worker) {
    worker.m_currentMode = true;
    worker.m_integralTime = 64000.0;
    worker.m_integralCurrent = 9.6;
    worker.m_currentRange = 150;
}

}  // namespace

void TestReceiverCalibration::fullOnCaptureTakesTenFrames() {
    ReceiverThread worker;
    configure(worker);
    const std::vector<double> before = worker.fullOnReference();
    QCOMPARE(before, std::vector<double>(4096, 150.0));
    // Pixel i reads code i in every frame.
    const std::vector<unsigned char> frame = makeFrame([](int i) { return i; });
    for (int k = 1; k <= 9; ++k) {
        worker.setMax(frame);
        QCOMPARE(worker.calibration().framesTaken(), k);
        QCOMPARE(worker.fullOnReference(), before);
    }
    worker.setMax(frame);
    QCOMPARE(worker.calibration().framesTaken(), 0);
    const std::vector<double> after = worker.fullOnReference();
    QCOMPARE(after.size(), std::size_t(4096));
    for (int i = 0; i < 4096; ++i) {
        QVERIFY(after[i] == worker.codeToCurrent(i));  // ten equal currents give exactly that current
    }
    QCOMPARE(worker.fullOffReference(), std::vector<double>(4096, 0.0));
}

void TestReceiverCalibration::outliersAreDropped() {
    ReceiverThread worker;
    configure(worker);
    // Ten frames with codes 1000, 2000, ... 10000 in shuffled order; pixel 7 has a spike in one frame.
    std::array<int, 10> codes{5000, 1000, 9000, 3000, 10000, 2000, 7000, 4000, 8000, 6000};
    for (int k = 0; k < 10; ++k) {
        const int code = codes[k];
        worker.setMax(makeFrame([code, k](int i) { return (i == 7 && k == 4) ? 32767 : code; }));
    }
    Ten currents{};
    for (int k = 0; k < 10; ++k) {
        currents[k] = worker.codeToCurrent((k + 1) * 1000);
    }
    const std::vector<double> reference = worker.fullOnReference();
    // Pixel 0: the currents of codes 2000 ... 9000 averaged.
    std::sort(currents.begin(), currents.end());
    const double middle = std::accumulate(currents.begin() + 1, currents.end() - 1, 0.0) / 8.0;
    QVERIFY(qAbs(reference[0] - middle) < 1e-12);
    // Pixel 7: the spike replaced code 10000 as the largest value and is dropped, so pixel 7 agrees.
    QVERIFY(reference[7] == reference[0]);
}

void TestReceiverCalibration::fullOffCaptureLeavesFullOnAlone() {
    ReceiverThread worker;
    configure(worker);
    for (int k = 0; k < 10; ++k) {
        worker.setMin(uniformFrame(0));
    }
    QCOMPARE(worker.calibration().framesTaken(), 0);
    QCOMPARE(worker.fullOffReference(), std::vector<double>(4096, 75.0));
    QCOMPARE(worker.fullOnReference(), std::vector<double>(4096, 150.0));
}

void TestReceiverCalibration::captureFollowsPolarityAndRange() {
    ReceiverThread worker;
    configure(worker);
    worker.m_currentMode = false;
    worker.m_currentRange = 100;
    for (int k = 0; k < 10; ++k) {
        worker.setMax(uniformFrame(32768));
    }
    // Negative polarity keeps the sign; the clamp uses the range at capture time.
    QCOMPARE(worker.fullOnReference(), std::vector<double>(4096, -100.0));
}

void TestReceiverCalibration::settingTheRangeRefillsFullOn() {
    ReceiverThread worker;
    worker.setCurrentRange(10);
    QCOMPARE(worker.fullOnReference(), std::vector<double>(4096, 10.0));
    QCOMPARE(worker.fullOffReference(), std::vector<double>(4096, 0.0));
}

QTEST_GUILESS_MAIN(TestReceiverCalibration)
#include "tst_receiver_calibration.moc"
