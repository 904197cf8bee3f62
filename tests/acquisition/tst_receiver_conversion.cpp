// Pixel codes to currents, currents to gray levels, and the recording of a save run while rendering.

#include <cmath>
#include <mutex>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"

using namespace receivertest;

namespace {

void configure(ReceiverThread &worker, bool positive, double timeNs, double capacitancePf, int range) {
    worker.m_currentMode = positive;
    worker.m_integralTime = timeNs;
    worker.m_integralCurrent = capacitancePf;
    worker.m_currentRange = range;
}

int distinctCode(int pixel) {
    return (pixel * 40503 + 7) & 0xFFFF;
}

bool allBytes(const QImage &image, int value) {
    for (int row = 0; row < image.height(); ++row) {
        const uchar *line = image.constScanLine(row);
        if (!std::all_of(line, line + image.width(), [value](uchar b) { return b == value; })) {
            return false;
        }
    }
    return true;
}

}  // namespace

class TestReceiverConversion : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void current_data();
    void current();
    void notANumberWithoutIntegrationSettings();
    void rangeZeroRendersBlack();
    void allZeroFrameRendersMidGray();
    void calibrationWithInitialReferencesEqualsPlain();
    void calibrationLimitsToReferences();
    void crossedReferences();
    void grayLevelTruncates_data();
    void grayLevelTruncates();
    void recordingFiveFrames();
    void recordedValuesMatchThePicture();
    void settingsWrittenBetweenFramesApply_data();
    void settingsWrittenBetweenFramesApply();

private:
    QTemporaryDir m_settingsDir;
};

void TestReceiverConversion::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestReceiverConversion::current_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<double>("positive");
    QTest::addColumn<double>("negative");
    QTest::newRow("0") << 0 << 75.0 << -75.0;
    QTest::newRow("1") << 1 << 75.00408723800804 << -74.99591276199195;
    QTest::newRow("16384") << 16384 << 141.96530752378771 << -8.034692476212271;
    QTest::newRow("32767 (clamped)") << 32767 << 150.0 << 0.0;
    QTest::newRow("32768 (clamped)") << 32768 << 0.0 << -150.0;
    QTest::newRow("49152") << 49152 << 8.038779714220315 << -141.9612202857797;
    QTest::newRow("65535") << 65535 << 75.0 << -75.0;
}

void TestReceiverConversion::current() {
    QFETCH(int, code);
    QFETCH(double, positive);
    QFETCH(double, negative);
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 150);
    // Exact: the exported currents must be reproducible to the last bit.
    QVERIFY2(worker.codeToCurrent(code) == positive, qPrintable(QString::number(worker.codeToCurrent(code), 'g', 17)));
    configure(worker, false, 64000.0, 9.6, 150);
    QVERIFY2(worker.codeToCurrent(code) == negative, qPrintable(QString::number(worker.codeToCurrent(code), 'g', 17)));
}

void TestReceiverConversion::notANumberWithoutIntegrationSettings() {
    // A fresh installation: no setting applied yet, integration time and capacitance 0.
    ReceiverThread worker;
    configure(worker, false, 0.0, 0.0, 0);
    for (int code : {0, 1, 32767, 32768, 65535}) {
        QVERIFY(std::isnan(worker.codeToCurrent(code)));
    }
    worker.m_currentRange = 150;
    QVERIFY(allBytes(worker.renderFrame(makeFrame(distinctCode)), 0));
}

void TestReceiverConversion::rangeZeroRendersBlack() {
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 0);
    for (int code : {0, 16384, 32767, 49152}) {
        QCOMPARE(worker.codeToCurrent(code), 0.0);
    }
    QVERIFY(allBytes(worker.renderFrame(makeFrame(distinctCode)), 0));
}

void TestReceiverConversion::allZeroFrameRendersMidGray() {
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 150);
    const QImage image = worker.renderFrame(uniformFrame(0));
    QCOMPARE(image.size(), QSize(64, 64));
    QCOMPARE(image.format(), QImage::Format_Grayscale8);
    // 75 / 150 = 0.5 and 0.5 x 255 truncates to 127.
    QVERIFY(allBytes(image, 127));
}

void TestReceiverConversion::calibrationWithInitialReferencesEqualsPlain() {
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 150);
    const std::vector<unsigned char> frame = makeFrame(distinctCode);
    const QImage plain = worker.renderFrame(frame);
    worker.m_calibrationOn = true;
    const QImage calibrated = worker.renderFrame(frame);
    QCOMPARE(calibrated, plain);
    QVERIFY(!allBytes(plain, 0));
}

void TestReceiverConversion::calibrationLimitsToReferences() {
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 150);
    worker.m_calibrationOn = true;
    // Full-off 80 nA, full-on 100 nA everywhere.
    worker.calibration().setReferences(std::vector<double>(kPixels, 100.0), std::vector<double>(kPixels, 80.0));
    // Code 0 gives 75 nA (below full-off): black. Code 16384 gives about 142 nA (above full-on): white.
    QVERIFY(allBytes(worker.renderFrame(uniformFrame(0)), 0));
    QVERIFY(allBytes(worker.renderFrame(uniformFrame(16384)), 255));
    // In between: (90 - 80) / (100 - 80) = 0.5 -> 127. Code for about 90 nA.
    const int code = 3276;  // 75 + 3276 x 4.087e-3 ~ 88.39 nA
    const double current = worker.codeToCurrent(code);
    const int expected = int(std::trunc((current - 80.0) / 20.0 * 255.0));
    QVERIFY(expected > 0 && expected < 255);
    QVERIFY(allBytes(worker.renderFrame(uniformFrame(code)), expected));
}

void TestReceiverConversion::crossedReferences() {
    // Full-off above full-on: a current above full-on gives 1, anything else 0.
    QCOMPARE(PixelConversion::calibratedScale(50.0, 40.0, 60.0), 1.0);
    QCOMPARE(PixelConversion::calibratedScale(30.0, 40.0, 60.0), 0.0);
    QCOMPARE(PixelConversion::calibratedScale(40.0, 40.0, 60.0), 0.0);
    // Equal references: no scale at all, and the picture shows black.
    QVERIFY(std::isnan(PixelConversion::calibratedScale(40.0, 40.0, 40.0)));
    QCOMPARE(PixelConversion::grayLevel(PixelConversion::calibratedScale(40.0, 40.0, 40.0)), 0.0);
    // Signs of the references do not matter, only magnitudes.
    QCOMPARE(PixelConversion::calibratedScale(-50.0, -60.0, 40.0), 0.5);
}

void TestReceiverConversion::grayLevelTruncates_data() {
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("gray");
    QTest::addColumn<int>("pixel");
    QTest::newRow("0") << 0.0 << 0.0 << 0;
    QTest::newRow("0.5 -> 127, not 128") << 0.5 << 127.0 << 127;
    QTest::newRow("1") << 1.0 << 255.0 << 255;
    QTest::newRow("just below 1") << 0.9999 << 254.0 << 254;
    QTest::newRow("NaN") << std::nan("") << 0.0 << 0;
    QTest::newRow("above 1 is recorded as is, shown white") << 1.5 << 382.0 << 255;
}

void TestReceiverConversion::grayLevelTruncates() {
    QFETCH(double, scale);
    QFETCH(double, gray);
    QFETCH(int, pixel);
    QCOMPARE(PixelConversion::grayLevel(scale), gray);
    QCOMPARE(int(PixelConversion::pixelValue(PixelConversion::grayLevel(scale))), pixel);
}

void TestReceiverConversion::recordingFiveFrames() {
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 150);
    QSignalSpy progress(&worker, &ReceiverThread::savemessage);
    worker.startSaveRun(saveRun(5));
    for (int frame = 0; frame < 5; ++frame) {
        worker.renderFrame(uniformFrame(frame * 1000));
    }
    QList<int> indices;
    for (const QList<QVariant> &arguments : progress) {
        indices.append(arguments.at(0).toInt());
    }
    QCOMPARE(indices, (QList<int>{1, 2, 3, 4, 5, 5}));
    QCOMPARE(worker.recorder().recordedCount(), 5);
    QVERIFY(!worker.recorder().recording());
    QVERIFY(!worker.saveInProgress());

    // A further frame records nothing.
    worker.renderFrame(uniformFrame(0));
    QCOMPARE(progress.size(), 6);
    QCOMPARE(worker.recorder().recordedCount(), 5);
}

void TestReceiverConversion::recordedValuesMatchThePicture() {
    ReceiverThread worker;
    configure(worker, false, 64000.0, 9.6, 150);
    worker.startSaveRun(saveRun(1));
    const std::vector<unsigned char> frame = makeFrame(distinctCode);
    const QImage image = worker.renderFrame(frame);
    QCOMPARE(worker.recorder().recordedCount(), 1);
    const std::vector<double> &currents = worker.lastCurrents();
    const std::vector<double> &grays = worker.lastGrays();
    QCOMPARE(currents.size(), std::size_t(4096));
    QCOMPARE(grays.size(), std::size_t(4096));
    for (int i = 0; i < 4096; ++i) {
        // Signed currents (negative polarity), gray levels as whole numbers equal to the picture bytes.
        QCOMPARE(currents[i], worker.codeToCurrent(distinctCode(i)));
        QVERIFY(currents[i] <= 0.0);
        QCOMPARE(grays[i], double(image.constScanLine(i / 64)[i % 64]));
    }
}

void TestReceiverConversion::settingsWrittenBetweenFramesApply_data() {
    QTest::addColumn<QString>("setting");
    QTest::addColumn<bool>("calibrated");
    for (const char *setting : {"polarity", "integration time", "capacitance", "range"}) {
        for (bool calibrated : {false, true}) {
            QTest::addRow("%s, %s", setting, calibrated ? "calibrated" : "plain")
                << QString::fromLatin1(setting) << calibrated;
        }
    }
}

void TestReceiverConversion::settingsWrittenBetweenFramesApply() {
    // The members are written directly, as the session does while capture is stopped, with no call that
    // could tell the worker: the next frame must still be converted under the new values.
    QFETCH(QString, setting);
    QFETCH(bool, calibrated);
    ReceiverThread worker;
    configure(worker, true, 64000.0, 9.6, 150);
    worker.m_calibrationOn = calibrated;
    const std::vector<unsigned char> frame = makeFrame(distinctCode);
    const QImage before = worker.renderFrame(frame);

    if (setting == QLatin1String("polarity")) {
        worker.m_currentMode = false;
    } else if (setting == QLatin1String("integration time")) {
        worker.m_integralTime = 91200.0;
    } else if (setting == QLatin1String("capacitance")) {
        worker.m_integralCurrent = 2.4;
    } else {
        worker.m_currentRange = 100;
    }
    worker.startSaveRun(saveRun(1));
    const QImage after = worker.renderFrame(frame);
    QVERIFY(after != before);

    const PixelConversion formula(worker.m_currentMode, worker.m_integralTime, worker.m_integralCurrent,
                                  worker.m_currentRange);
    const std::vector<double> fullOn = worker.fullOnReference();
    const std::vector<double> fullOff = worker.fullOffReference();
    QCOMPARE(worker.recorder().recordedCount(), 1);
    const std::vector<double> &currents = worker.lastCurrents();
    const std::vector<double> &grays = worker.lastGrays();
    for (int i = 0; i < kPixels; ++i) {
        const double current = formula.current(distinctCode(i));
        const double scale =
            calibrated ? PixelConversion::calibratedScale(current, fullOn[i], fullOff[i]) : formula.plainScale(current);
        const double gray = PixelConversion::grayLevel(scale);
        // Exact, as the exported values must be (QCOMPARE would allow a few ulps).
        QVERIFY2(currents[i] == current, qPrintable(QString::number(i)));
        QVERIFY2(grays[i] == gray, qPrintable(QString::number(i)));
        QCOMPARE(after.constScanLine(i / 64)[i % 64], PixelConversion::pixelValue(gray));
    }
}

QTEST_GUILESS_MAIN(TestReceiverConversion)
#include "tst_receiver_conversion.moc"
