// The simulated picture: the pixel readout inverts the host's code-to-current conversion, dark and flood
// frames show the fixed pixel pattern, and a full-on/full-off calibration removes it.

#include <algorithm>
#include <cmath>

#include <QTest>

#include "SimulatedInstrument.h"
#include "SimulatedScene.h"
#include "SimulatorTestKit.h"

using namespace simkit;

class TestSimulatorScene : public QObject {
    Q_OBJECT

private slots:
    void patternIsFixedAndLeavesHeadroom();
    void illuminationShapes();
    void wholeFrameMatchesEachPixel_data();
    void wholeFrameMatchesEachPixel();
    void currentToCode_data();
    void currentToCode();
    void roundTrip_data();
    void roundTrip();
    void darkAndFloodShowThePattern_data();
    void darkAndFloodShowThePattern();
    void calibrationFlattensTheScene_data();
    void calibrationFlattensTheScene();
    void spotMovesWithTheClock();
};

// The host's settings for one current range: what it sends, and the range it clamps to.
struct Setting {
    std::uint32_t count;
    int gear;
    bool positive;
    double range;  // nA, as the host holds it (an integer)
};
Q_DECLARE_METATYPE(Setting)
Q_DECLARE_METATYPE(Illumination)

namespace {

AppliedParameters applied(const Setting &setting) {
    AppliedParameters parameters;
    parameters.integrationCount = setting.count;
    parameters.gearCode = setting.gear;
    parameters.positive = setting.positive;
    return parameters;
}

double toCurrent(int code, const Setting &setting) {
    return codeToCurrent(code, SimulatedScene::capacitancePf(setting.gear), setting.count * 12.5, setting.positive,
                         setting.range);
}

void addSettings() {
    QTest::addColumn<Setting>("setting");
    QTest::newRow("100 nA, positive") << Setting{7296, 7, true, 100};
    QTest::newRow("500 nA, positive") << Setting{1459, 7, true, 500};
    QTest::newRow("1 nA, negative") << Setting{91200, 3, false, 1};
    QTest::newRow("10 nA, negative") << Setting{72960, 7, false, 10};
}

// One frame under `light`, converted by the host's formula.
std::vector<double> frameCurrents(SimulatedInstrument &instrument, Illumination light, const Setting &setting) {
    instrument.setIllumination(light);
    send(instrument, frameRequest);
    const Bytes record = drain(instrument);
    std::vector<double> currents;
    for (int code : pixelCodes(record)) {
        currents.push_back(toCurrent(code, setting));
    }
    return currents;
}

SimulatedInstrument &configured(SimulatedInstrument &instrument, const Setting &setting) {
    instrument.setPaced(false);
    send(instrument, parameterCommand(setting.count, setting.gear, setting.positive));
    send(instrument, startCommand);
    drain(instrument);
    return instrument;
}

}  // namespace

void TestSimulatorScene::patternIsFixedAndLeavesHeadroom() {
    const SimulatedScene scene;
    const SimulatedScene again;
    double lowGain = 10, highGain = 0, highDark = 0, lowDark = 10, brightestFlood = 0;
    for (int i = 0; i < SimulatedScene::pixelCount; ++i) {
        QCOMPARE(scene.gain(i), again.gain(i));
        QCOMPARE(scene.darkFraction(i), again.darkFraction(i));
        lowGain = std::min(lowGain, scene.gain(i));
        highGain = std::max(highGain, scene.gain(i));
        lowDark = std::min(lowDark, scene.darkFraction(i));
        highDark = std::max(highDark, scene.darkFraction(i));
        brightestFlood = std::max(brightestFlood, 0.9 * scene.gain(i) + scene.darkFraction(i));
    }
    QVERIFY(lowGain >= 0.85 && highGain <= 1.05 && highGain - lowGain > 0.15);
    QVERIFY(lowDark >= 0.005 && highDark <= 0.035 && highDark - lowDark > 0.02);
    // The brightest flood pixel stays clear of full scale, so the host's range clamp never cuts it.
    QVERIFY(brightestFlood < 0.99);
}

void TestSimulatorScene::illuminationShapes() {
    for (int y = 0; y < 64; y += 9) {
        for (int x = 0; x < 64; x += 7) {
            QCOMPARE(SimulatedScene::illuminationLevel(Illumination::Dark, x, y, 1.5), 0.0);
            QCOMPARE(SimulatedScene::illuminationLevel(Illumination::Flood, x, y, 1.5), 0.9);
            const double scene = SimulatedScene::illuminationLevel(Illumination::Scene, x, y, 1.5);
            QVERIFY(scene >= 0.1 && scene <= 0.9);
        }
    }
    // At t = 0 the spot is right of the centre; the opposite side sees only the background.
    QVERIFY(SimulatedScene::illuminationLevel(Illumination::Scene, 50, 31, 0.0) > 0.85);
    QVERIFY(SimulatedScene::illuminationLevel(Illumination::Scene, 13, 31, 0.0) < 0.101);
}

void TestSimulatorScene::wholeFrameMatchesEachPixel_data() {
    QTest::addColumn<Illumination>("light");
    QTest::addColumn<Setting>("setting");
    QTest::newRow("scene, positive") << Illumination::Scene << Setting{7296, 7, true, 100};
    QTest::newRow("flood, negative") << Illumination::Flood << Setting{91200, 3, false, 1};
    QTest::newRow("dark, positive") << Illumination::Dark << Setting{1459, 7, true, 500};
}

void TestSimulatorScene::wholeFrameMatchesEachPixel() {
    QFETCH(Illumination, light);
    QFETCH(Setting, setting);
    const SimulatedScene scene;
    const std::vector<double> frame = scene.meanCurrents(light, applied(setting), 2.7);
    QCOMPARE(frame.size(), std::size_t{4096});
    for (int i = 0; i < 4096; ++i) {
        QCOMPARE(frame[static_cast<std::size_t>(i)], scene.meanCurrent(i, light, applied(setting), 2.7));
    }
}

void TestSimulatorScene::currentToCode_data() {
    QTest::addColumn<double>("current");
    QTest::addColumn<Setting>("setting");
    QTest::addColumn<int>("code");
    const Setting positive{7296, 7, true, 100};
    const Setting negative{7296, 7, false, 100};
    // Positive: 0 A reads -1.4 V, full scale (100 nA here) +1.26 V.
    QTest::newRow("positive, no current") << 0.0 << positive << 47185;
    QTest::newRow("positive, full scale") << 100.0 << positive << 16515;
    QTest::newRow("positive, overdriven") << 1e6 << positive << 32767;
    QTest::newRow("positive, far below zero") << -1e6 << positive << 32768;
    QTest::newRow("positive, not a number") << std::nan("") << positive << 47185;
    // Negative: 0 A reads +1.4 V, full scale -1.26 V.
    QTest::newRow("negative, no current") << 0.0 << negative << 18350;
    QTest::newRow("negative, full scale") << -100.0 << negative << 49020;
    QTest::newRow("negative, overdriven") << -1e6 << negative << 32768;
    QTest::newRow("negative, far above zero") << 1e6 << negative << 32767;
    QTest::newRow("no capacitor: reads as no current") << 50.0 << Setting{7296, 9, true, 100} << 47185;
    QTest::newRow("no integration time: reads as no current") << 50.0 << Setting{0, 7, false, 100} << 18350;
}

void TestSimulatorScene::currentToCode() {
    QFETCH(double, current);
    QFETCH(Setting, setting);
    QFETCH(int, code);
    QCOMPARE(int{SimulatedScene::currentToCode(current, applied(setting))}, code);
}

void TestSimulatorScene::roundTrip_data() {
    addSettings();
}

void TestSimulatorScene::roundTrip() {
    QFETCH(Setting, setting);
    const double fullScale = SimulatedScene::fullScaleCurrent(applied(setting));
    QVERIFY(std::abs(fullScale - setting.range) < 0.001 * setting.range);
    const double sign = setting.positive ? 1.0 : -1.0;
    // One code step is about 3e-5 of full scale; half a step is the most rounding can cost.
    const double tolerance = 2e-5 * setting.range;
    for (double fraction = -0.05; fraction <= 1.1; fraction += 0.0125) {
        const double current = sign * fraction * fullScale;
        const double back = toCurrent(SimulatedScene::currentToCode(current, applied(setting)), setting);
        // What the host makes of it: the wrong sign reads 0, beyond the range reads the range.
        const double expected = sign * std::clamp(fraction * fullScale, 0.0, setting.range);
        QVERIFY2(std::abs(back - expected) <= tolerance,
                 qPrintable(QString("%1 nA came back as %2 nA").arg(current).arg(back)));
    }
}

void TestSimulatorScene::darkAndFloodShowThePattern_data() {
    addSettings();
}

void TestSimulatorScene::darkAndFloodShowThePattern() {
    QFETCH(Setting, setting);
    SimulatedInstrument instrument;
    configured(instrument, setting);
    const SimulatedScene &scene = instrument.scene();
    const double fullScale = SimulatedScene::fullScaleCurrent(applied(setting));
    const double sign = setting.positive ? 1.0 : -1.0;
    const std::vector<double> dark = frameCurrents(instrument, Illumination::Dark, setting);
    const std::vector<double> flood = frameCurrents(instrument, Illumination::Flood, setting);
    QCOMPARE(dark.size(), std::size_t{4096});
    QCOMPARE(flood.size(), std::size_t{4096});
    // Noise is 0.1 % of full scale: allow six deviations per pixel, and a tight bound on the mean error.
    const double pixelTolerance = 0.006 * fullScale;
    double darkError = 0, floodError = 0;
    for (int i = 0; i < 4096; ++i) {
        const double expectedDark = sign * scene.darkFraction(i) * fullScale;
        const double expectedFlood = sign * (scene.gain(i) * 0.9 + scene.darkFraction(i)) * fullScale;
        QVERIFY2(std::abs(dark[i] - expectedDark) < pixelTolerance, qPrintable(QString("dark pixel %1").arg(i)));
        QVERIFY2(std::abs(flood[i] - expectedFlood) < pixelTolerance, qPrintable(QString("flood pixel %1").arg(i)));
        darkError += dark[i] - expectedDark;
        floodError += flood[i] - expectedFlood;
    }
    QVERIFY(std::abs(darkError / 4096) < 1e-4 * fullScale);
    QVERIFY(std::abs(floodError / 4096) < 1e-4 * fullScale);
}

void TestSimulatorScene::calibrationFlattensTheScene_data() {
    addSettings();
}

void TestSimulatorScene::calibrationFlattensTheScene() {
    QFETCH(Setting, setting);
    SimulatedInstrument instrument;
    configured(instrument, setting);
    instrument.freezeSceneAt(1.0);
    const std::vector<double> dark = frameCurrents(instrument, Illumination::Dark, setting);
    const std::vector<double> flood = frameCurrents(instrument, Illumination::Flood, setting);
    const std::vector<double> scene = frameCurrents(instrument, Illumination::Scene, setting);
    double calibratedError = 0, rawError = 0, brightest = 0;
    for (int i = 0; i < 4096; ++i) {
        const double light = SimulatedScene::illuminationLevel(Illumination::Scene, i % 64, i / 64, 1.0);
        const double calibrated = (scene[i] - dark[i]) / (flood[i] - dark[i]);
        const double raw = std::abs(scene[i]) / setting.range;
        calibratedError = std::max(calibratedError, std::abs(calibrated - light / 0.9));
        rawError = std::max(rawError, std::abs(raw - light));
        brightest = std::max(brightest, calibrated);
    }
    QVERIFY2(calibratedError < 0.02, qPrintable(QString::number(calibratedError)));
    QVERIFY2(rawError > 0.05, qPrintable(QString::number(rawError)));  // the pattern was there to remove
    QVERIFY(brightest > 0.9);                                          // and so is the spot
}

void TestSimulatorScene::spotMovesWithTheClock() {
    SimulatedInstrument instrument;
    const Setting setting{7296, 7, true, 100};
    configured(instrument, setting);
    const auto brightestPixel = [&] {
        const std::vector<double> currents = frameCurrents(instrument, Illumination::Scene, setting);
        return static_cast<int>(std::max_element(currents.begin(), currents.end()) - currents.begin());
    };
    const int before = brightestPixel();
    QTest::qWait(600);  // an eighth of a turn moves the spot by about 14 pixels
    const int after = brightestPixel();
    const double distance = std::hypot(before % 64 - after % 64, before / 64 - after / 64);
    QVERIFY2(distance > 5, qPrintable(QString::number(distance)));
}

QTEST_GUILESS_MAIN(TestSimulatorScene)
#include "tst_simulator_scene.moc"
