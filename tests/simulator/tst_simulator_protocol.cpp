// The simulated instrument on the wire: replies, parameter storage, records, pacing and injected faults.

#include <chrono>
#include <mutex>

#include <QElapsedTimer>
#include <QTest>

#include "SimulatedInstrument.h"
#include "SimulatorTestKit.h"

using namespace simkit;

Q_DECLARE_METATYPE(simkit::Bytes)

class TestSimulatorProtocol : public QObject {
    Q_OBJECT

private slots:
    void replies_data();
    void replies();
    void commandsSurviveAStreamOfAnyShape_data();
    void commandsSurviveAStreamOfAnyShape();
    void receivedCommandsKeepTornFrames();
    void parameterCommandIsStored_data();
    void parameterCommandIsStored();
    void parameterCommandWithoutCapacitorIsRefused();
    void batteryReplyCarriesTheCode();
    void batteryReplyCanBeShort_data();
    void batteryReplyCanBeShort();
    void recordLayout();
    void recordsFlowOnlyBetweenStartAndStop();
    void resetStopsStreamingAndPurgeEmptiesTheQueue();
    void frameTimeFollowsIntegration_data();
    void frameTimeFollowsIntegration();
    void pacedRecordArrivesAfterItsFrameTime();
    void repliesOvertakeARecordInReadout();
    void requestsQueueBehindTheReadout();
    void recordReadyHookTellsTheArrival();
    void stopDropsTheRecordInReadout();
    void unpacedRecordIsReadyAtOnce();
    void bytesAroundARecord();
    void recordInPortions();
    void shortRecord();
    void failingReadsAreCounted();
    void unansweredCommands();
    void serialReadsEmptyForSomeEnumerations();
    void benchmarkUnpacedRecords();
};

namespace {

SimulatedInstrument &unpaced(SimulatedInstrument &instrument) {
    instrument.setPaced(false);
    return instrument;
}

Bytes requestRecord(SimulatedInstrument &instrument) {
    send(instrument, frameRequest);
    return drain(instrument);
}

}  // namespace

void TestSimulatorProtocol::replies_data() {
    QTest::addColumn<Bytes>("command");
    QTest::addColumn<Bytes>("reply");
    const Bytes none;
    QTest::newRow("handshake") << handshake << handshakeAck;
    QTest::newRow("parameters 100 nA") << parameterCommand(7296, 7, true) << parameterAck;
    QTest::newRow("battery query") << batteryQuery << Bytes{0xFF, 0xCC, 0xA0, 0x04, 0x09, 0x60, 0xD8, 0x0D};
    QTest::newRow("start") << startCommand << none;
    QTest::newRow("stop") << stopCommand << none;
    QTest::newRow("frame request while not started") << frameRequest << none;
    QTest::newRow("unknown sub-code") << Bytes{0xFF, 0xAA, 0xA0, 0x09, 0x00, 0x00, 0x52, 0x0D} << none;
    QTest::newRow("handshake, wrong check byte") << Bytes{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4B, 0x0D} << none;
    QTest::newRow("handshake, wrong end byte") << Bytes{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4A, 0x0A} << none;
    QTest::newRow("reply marker instead of command marker") << handshakeAck << none;
}

void TestSimulatorProtocol::replies() {
    QFETCH(Bytes, command);
    QFETCH(Bytes, reply);
    SimulatedInstrument instrument;
    send(instrument, command);
    QCOMPARE(drain(instrument), reply);
}

void TestSimulatorProtocol::commandsSurviveAStreamOfAnyShape_data() {
    QTest::addColumn<Bytes>("stream");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<Bytes>("replies");
    QTest::newRow("byte by byte") << handshake << 1 << handshakeAck;
    QTest::newRow("two commands in one write")
        << concat({handshake, batteryQuery}) << 16
        << concat({handshakeAck, {0xFF, 0xCC, 0xA0, 0x04, 0x09, 0x60, 0xD8, 0x0D}});
    QTest::newRow("stray bytes first") << concat({{0x00, 0x13, 0xFF, 0x42, 0xAA}, handshake}) << 64 << handshakeAck;
    QTest::newRow("a lone FF just before") << concat({{0xFF}, handshake}) << 3 << handshakeAck;
    // A command torn off after six bytes: its length field then reads the next command's bytes.
    QTest::newRow("torn command, then a good one")
        << concat({{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00}, handshake}) << 5 << handshakeAck;
    QTest::newRow("torn command with a long length field")
        << concat({{0xFF, 0xAA, 0xA0, 0x01, 0x7F}, handshake}) << 64 << handshakeAck;
    QTest::newRow("parameter command in pieces of 7") << parameterCommand(1459, 7, false) << 7 << parameterAck;
}

void TestSimulatorProtocol::commandsSurviveAStreamOfAnyShape() {
    QFETCH(Bytes, stream);
    QFETCH(int, pieceSize);
    QFETCH(Bytes, replies);
    SimulatedInstrument instrument;
    for (std::size_t at = 0; at < stream.size(); at += static_cast<std::size_t>(pieceSize)) {
        instrument.receiveFromHost(stream.data() + at, std::min<std::size_t>(pieceSize, stream.size() - at));
    }
    QCOMPARE(drain(instrument), replies);
}

void TestSimulatorProtocol::receivedCommandsKeepTornFrames() {
    SimulatedInstrument instrument;
    const Bytes badCheck{0xFF, 0xAA, 0xA0, 0x04, 0x00, 0x00, 0x00, 0x0D};
    send(instrument, concat({handshake, badCheck, startCommand}));
    const std::vector<Bytes> expected{handshake, badCheck, startCommand};
    QCOMPARE(instrument.receivedCommands(), expected);
    QVERIFY(instrument.started());
    QCOMPARE(drain(instrument), handshakeAck);  // no battery reply to the torn query
}

void TestSimulatorProtocol::parameterCommandIsStored_data() {
    QTest::addColumn<Bytes>("command");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("gear");
    QTest::addColumn<bool>("positive");
    QTest::addColumn<QList<int>>("voltageCodes");
    // Range 100 nA, Von 10 V, Voff -5 V, both bias voltages 0 V, positive.
    QTest::newRow("100 nA positive") << Bytes{0xFF, 0xAA, 0xB0, 0x01, 0x00, 0x0D, 0x00, 0x1C, 0x80, 0x07, 0x01,
                                              0x0B, 0xB3, 0x06, 0x25, 0x08, 0x9E, 0x08, 0x9E, 0x40, 0x0D}
                                     << 7296 << 7 << true << QList<int>{2995, 1573, 2206, 2206};
    QTest::newRow("1 nA negative") << Bytes{0xFF, 0xAA, 0xB0, 0x01, 0x00, 0x0D, 0x01, 0x64, 0x40, 0x03, 0x00,
                                            0x0B, 0xB3, 0x06, 0x25, 0x08, 0x9E, 0x08, 0x9E, 0x44, 0x0D}
                                   << 91200 << 3 << false << QList<int>{2995, 1573, 2206, 2206};
    // Von of -25 V wraps to code -322 (FE BE); the two bytes are a signed 16-bit value.
    QTest::newRow("negative voltage code")
        << parameterCommand(1459, 7, true, -322, 4417, 0, -1) << 1459 << 7 << true << QList<int>{-322, 4417, 0, -1};
    QTest::newRow("largest 24-bit count")
        << parameterCommand(0xFFFFFF, 0, true) << 0xFFFFFF << 0 << true << QList<int>{2047, 2047, 2206, 2206};
}

void TestSimulatorProtocol::parameterCommandIsStored() {
    QFETCH(Bytes, command);
    QFETCH(int, count);
    QFETCH(int, gear);
    QFETCH(bool, positive);
    QFETCH(QList<int>, voltageCodes);
    SimulatedInstrument instrument;
    send(instrument, command);
    QCOMPARE(drain(instrument), parameterAck);
    const AppliedParameters applied = instrument.appliedParameters();
    QCOMPARE(applied.integrationCount, static_cast<std::uint32_t>(count));
    QCOMPARE(applied.gearCode, gear);
    QCOMPARE(applied.positive, positive);
    QCOMPARE((QList<int>{applied.vonCode, applied.voffCode, applied.vbias1Code, applied.vbias2Code}), voltageCodes);
}

void TestSimulatorProtocol::parameterCommandWithoutCapacitorIsRefused() {
    SimulatedInstrument instrument;
    QTest::ignoreMessage(QtWarningMsg, "Refusing a parameter command with gear 8 and polarity 1");
    send(instrument, parameterCommand(1459, 8, true));
    QTest::ignoreMessage(QtWarningMsg, "Refusing a parameter command with gear 7 and polarity 2");
    Bytes badPolarity = parameterCommand(1459, 7, true);
    badPolarity[10] = 2;
    badPolarity[19] = checkByte(Bytes(badPolarity.begin(), badPolarity.begin() + 19));
    send(instrument, badPolarity);
    QVERIFY(drain(instrument).empty());
    QCOMPARE(instrument.appliedParameters().integrationCount, 7296u);
    QCOMPARE(instrument.appliedParameters().gearCode, 7);
}

void TestSimulatorProtocol::batteryReplyCarriesTheCode() {
    SimulatedInstrument instrument;
    instrument.setBatteryCode(0x0A1B);
    send(instrument, batteryQuery);
    const Bytes reply = drain(instrument);
    const Bytes head{0xFF, 0xCC, 0xA0, 0x04, 0x0A, 0x1B};
    QCOMPARE(reply, concat({head, {checkByte(head), 0x0D}}));
}

void TestSimulatorProtocol::batteryReplyCanBeShort_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("expected");
    QTest::newRow("no reply") << 0 << 0;
    QTest::newRow("four bytes") << 4 << 4;
    QTest::newRow("five bytes") << 5 << 5;
    QTest::newRow("whole") << 8 << 8;
    QTest::newRow("longer than the reply") << 20 << 8;
}

void TestSimulatorProtocol::batteryReplyCanBeShort() {
    QFETCH(int, length);
    QFETCH(int, expected);
    SimulatedInstrument instrument;
    instrument.setBatteryReplyLength(static_cast<std::size_t>(length));
    send(instrument, batteryQuery);
    const Bytes reply = drain(instrument);
    const Bytes whole{0xFF, 0xCC, 0xA0, 0x04, 0x09, 0x60, 0xD8, 0x0D};
    QCOMPARE(reply, Bytes(whole.begin(), whole.begin() + expected));
}

void TestSimulatorProtocol::recordLayout() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    instrument.setIllumination(Illumination::Dark);
    send(instrument, startCommand);
    const Bytes record = requestRecord(instrument);
    QCOMPARE(record.size(), recordSize);
    QCOMPARE(Bytes(record.begin(), record.begin() + 6), recordHeader);
    QCOMPARE(record[8198], checkByte(recordHeader));
    QCOMPARE(record[8199], std::uint8_t{0x0D});
    // Dark, positive polarity: every pixel sits a little above the zero-current code (-1.4 V, 47185),
    // in the upper half of the code range, high byte first.
    const std::vector<int> codes = pixelCodes(record);
    QCOMPARE(codes.size(), std::size_t{4096});
    for (int code : codes) {
        QVERIFY2(code > 47185 - 50 && code < 47185 + 2000, qPrintable(QString::number(code)));
    }
    QCOMPARE(instrument.recordsSent(), 1u);
}

void TestSimulatorProtocol::recordsFlowOnlyBetweenStartAndStop() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    QVERIFY(requestRecord(instrument).empty());
    send(instrument, startCommand);
    QVERIFY(instrument.started());
    QCOMPARE(requestRecord(instrument).size(), recordSize);
    QCOMPARE(requestRecord(instrument).size(), recordSize);
    send(instrument, stopCommand);
    QVERIFY(!instrument.started());
    QVERIFY(requestRecord(instrument).empty());
    QCOMPARE(instrument.recordsSent(), 2u);
}

void TestSimulatorProtocol::resetStopsStreamingAndPurgeEmptiesTheQueue() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    send(instrument, concat({startCommand, frameRequest, handshake}));
    QCOMPARE(instrument.bytesQueued(), recordSize + 8);
    instrument.purge();
    QCOMPARE(instrument.bytesQueued(), 0u);
    QVERIFY(instrument.started());  // purging the driver's queue does not touch the instrument

    send(instrument, frameRequest);
    instrument.reset();
    QCOMPARE(instrument.bytesQueued(), 0u);
    QVERIFY(!instrument.started());
    QVERIFY(requestRecord(instrument).empty());
    // A half-written command before the reset is forgotten, not completed by what follows.
    send(instrument, Bytes(handshake.begin(), handshake.begin() + 4));
    instrument.reset();
    send(instrument, handshake);
    QCOMPARE(drain(instrument), handshakeAck);
}

void TestSimulatorProtocol::frameTimeFollowsIntegration_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("microseconds");
    QTest::newRow("100 nA") << 7296 << 64 * (91.2 + 110.162);
    QTest::newRow("500 nA") << 1459 << 64 * (18.2375 + 110.162);
    QTest::newRow("10 nA") << 72960 << 64 * (912.0 + 110.162);
}

void TestSimulatorProtocol::frameTimeFollowsIntegration() {
    QFETCH(int, count);
    QFETCH(double, microseconds);
    SimulatedInstrument instrument;
    send(instrument, parameterCommand(static_cast<std::uint32_t>(count), 7, true));
    QCOMPARE(drain(instrument), parameterAck);
    QCOMPARE(instrument.frameTimeMicroseconds(), microseconds);
}

void TestSimulatorProtocol::pacedRecordArrivesAfterItsFrameTime() {
    SimulatedInstrument instrument;  // paced, 100 nA: about 12.9 ms per frame
    QVERIFY(qAbs(instrument.frameTimeMicroseconds() - 12887.2) < 1.0);
    send(instrument, startCommand);
    QElapsedTimer clock;
    clock.start();
    send(instrument, frameRequest);
    QCOMPARE(instrument.bytesQueued(), 0u);
    QTRY_COMPARE_WITH_TIMEOUT(instrument.bytesQueued(), recordSize, 200);
    QVERIFY(clock.elapsed() >= 12);
    QCOMPARE(drain(instrument).size(), recordSize);
}

void TestSimulatorProtocol::repliesOvertakeARecordInReadout() {
    SimulatedInstrument instrument;
    send(instrument, parameterCommand(72960, 7, true));  // 10 nA: about 65 ms per frame
    QCOMPARE(drain(instrument), parameterAck);
    send(instrument, concat({startCommand, frameRequest, handshake}));
    QCOMPARE(drain(instrument), handshakeAck);
    QTRY_COMPARE_WITH_TIMEOUT(instrument.bytesQueued(), recordSize, 500);
}

void TestSimulatorProtocol::requestsQueueBehindTheReadout() {
    SimulatedInstrument instrument;
    send(instrument, parameterCommand(72960, 7, true));  // 10 nA: about 65 ms per frame
    drain(instrument);
    send(instrument, concat({startCommand, frameRequest, frameRequest}));
    QElapsedTimer clock;
    clock.start();
    while (instrument.bytesQueued() == 0 && clock.elapsed() < 1000) {
        QTest::qSleep(1);
    }
    QCOMPARE(instrument.bytesQueued(), recordSize);  // the second one is still being read out
    const qint64 first = clock.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(instrument.bytesQueued(), 2 * recordSize, 1000);
    QVERIFY(clock.elapsed() - first >= 40);
    QCOMPARE(instrument.recordsSent(), 2u);
}

void TestSimulatorProtocol::recordReadyHookTellsTheArrival() {
    using Clock = std::chrono::steady_clock;
    SimulatedInstrument instrument;
    send(instrument, parameterCommand(72960, 7, true));  // 10 nA: about 65 ms per frame
    drain(instrument);
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    instrument.setRecordReadyHook([&](Clock::time_point at) {
        std::lock_guard lock(mutex);
        arrivals.push_back(at);
    });
    const Clock::time_point requested = Clock::now();
    send(instrument, concat({startCommand, frameRequest, frameRequest}));
    std::vector<Clock::time_point> told;
    {
        std::lock_guard lock(mutex);
        told = arrivals;
    }
    // Told at the request, before anything can be read; the second record queues behind the first.
    QCOMPARE(told.size(), std::size_t(2));
    QCOMPARE(instrument.bytesQueued(), 0u);
    const auto frameTime = std::chrono::duration<double, std::micro>(instrument.frameTimeMicroseconds());
    QVERIFY(told[0] >= requested + std::chrono::duration_cast<Clock::duration>(frameTime));
    QVERIFY(std::chrono::abs(std::chrono::duration<double, std::micro>(told[1] - told[0]) - frameTime) <
            std::chrono::microseconds(1));
    QTRY_COMPARE_WITH_TIMEOUT(instrument.bytesQueued(), recordSize, 1000);

    instrument.setRecordReadyHook({});
    send(instrument, frameRequest);
    std::lock_guard lock(mutex);
    QCOMPARE(arrivals.size(), std::size_t(2));
}

void TestSimulatorProtocol::stopDropsTheRecordInReadout() {
    SimulatedInstrument instrument;
    send(instrument, parameterCommand(72960, 7, true));
    drain(instrument);
    send(instrument, concat({startCommand, frameRequest, stopCommand}));
    QTest::qWait(150);
    QCOMPARE(instrument.bytesQueued(), 0u);
    QCOMPARE(instrument.recordsSent(), 0u);
}

void TestSimulatorProtocol::unpacedRecordIsReadyAtOnce() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    send(instrument, startCommand);
    for (int frame = 0; frame < 20; ++frame) {
        QCOMPARE(requestRecord(instrument).size(), recordSize);
    }
    QCOMPARE(instrument.recordsSent(), 20u);
}

void TestSimulatorProtocol::bytesAroundARecord() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    send(instrument, startCommand);
    const Bytes before{0xFF, 0xCC, 0xA0, 0x04, 0x09};
    const Bytes after{0x01, 0x02, 0x03};
    instrument.injectBytesBeforeNextRecord(before);
    instrument.injectBytesAfterNextRecord(after);
    const Bytes stream = requestRecord(instrument);
    QCOMPARE(stream.size(), before.size() + recordSize + after.size());
    QCOMPARE(Bytes(stream.begin(), stream.begin() + 5), before);
    QCOMPARE(Bytes(stream.begin() + 5, stream.begin() + 11), recordHeader);
    QCOMPARE(Bytes(stream.end() - 3, stream.end()), after);
    QCOMPARE(requestRecord(instrument).size(), recordSize);  // only the next record
}

void TestSimulatorProtocol::recordInPortions() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    send(instrument, startCommand);
    instrument.splitNextRecord({100, 0, 4000});
    send(instrument, frameRequest);
    // Each status call shows one more portion; the rest comes after the last one.
    QCOMPARE(instrument.bytesQueued(), 100u);
    Bytes first(recordSize);
    QCOMPARE(instrument.takeBytes(first.data(), first.size()), 100u);  // never more than is visible
    QCOMPARE(Bytes(first.begin(), first.begin() + 6), recordHeader);
    QCOMPARE(instrument.bytesQueued(), 0u);
    QCOMPARE(instrument.bytesQueued(), 4000u);
    QCOMPARE(instrument.bytesQueued(), 8100u);
    QCOMPARE(drain(instrument).size(), 8100u);
    // Replies queue behind the record that is still arriving.
    instrument.splitNextRecord({10});
    send(instrument, concat({frameRequest, handshake}));
    QCOMPARE(instrument.bytesQueued(), 10u);
    QCOMPARE(instrument.bytesQueued(), recordSize + 8);
    const Bytes rest = drain(instrument);
    QCOMPARE(Bytes(rest.end() - 8, rest.end()), handshakeAck);
}

void TestSimulatorProtocol::shortRecord() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    send(instrument, startCommand);
    instrument.shortenNextRecord(4000);
    const Bytes cut = requestRecord(instrument);
    QCOMPARE(cut.size(), 4000u);
    QCOMPARE(Bytes(cut.begin(), cut.begin() + 6), recordHeader);
    QCOMPARE(requestRecord(instrument).size(), recordSize);
}

void TestSimulatorProtocol::failingReadsAreCounted() {
    SimulatedInstrument instrument;
    instrument.failReads(2);
    QVERIFY(instrument.consumeReadFailure());
    QVERIFY(instrument.consumeReadFailure());
    QVERIFY(!instrument.consumeReadFailure());
}

void TestSimulatorProtocol::unansweredCommands() {
    SimulatedInstrument instrument;
    instrument.leaveCommandsUnanswered(2);
    send(instrument, handshake);
    send(instrument, parameterCommand(1459, 6, false));
    QVERIFY(drain(instrument).empty());
    QCOMPARE(instrument.appliedParameters().integrationCount, 7296u);  // not taken either
    send(instrument, batteryQuery);                                    // the battery reply is not an acknowledgement
    QCOMPARE(drain(instrument).size(), 8u);
    send(instrument, parameterCommand(1459, 6, false));
    QCOMPARE(drain(instrument), parameterAck);
    QCOMPARE(instrument.appliedParameters().gearCode, 6);
}

void TestSimulatorProtocol::serialReadsEmptyForSomeEnumerations() {
    SimulatedInstrument instrument("B1");
    instrument.setSerialEmptyForEnumerations(2);
    QCOMPARE(instrument.enumerateSerial(), std::string());
    QCOMPARE(instrument.enumerateSerial(), std::string());
    QCOMPARE(instrument.enumerateSerial(), std::string("B1"));
}

// Figures for the unpaced simulator, the upper bound of what a benchmark of the acquisition can see.
void TestSimulatorProtocol::benchmarkUnpacedRecords() {
    SimulatedInstrument instrument;
    unpaced(instrument);
    send(instrument, startCommand);
    std::size_t size = 0;
    QBENCHMARK {
        size = requestRecord(instrument).size();
    }
    QCOMPARE(size, recordSize);
}

QTEST_GUILESS_MAIN(TestSimulatorProtocol)
#include "tst_simulator_protocol.moc"
