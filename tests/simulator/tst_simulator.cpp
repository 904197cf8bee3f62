// The simulated link: enumeration, handles, timeouts, unplugging, the device-change callback, and the
// controls a person uses (VANTIKO_SIM_LIGHT, VANTIKO_SIM_CONTROL).

#include <atomic>
#include <functional>
#include <thread>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "SimulatedLink.h"
#include "SimulatorTestKit.h"

using namespace simkit;

using LinkCall = std::function<ft::Status(SimulatedLink &, ft::Handle)>;
Q_DECLARE_METATYPE(LinkCall)
Q_DECLARE_METATYPE(Illumination)

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void enumeratesTheInstrument();
    void enumeratesAddedDevicesInOrder();
    void listIsTheOneOfTheLastEnumeration();
    void serialReadsEmptyForSomeEnumerations();
    void startsEmptyWithoutTheDefaultInstrument();
    void nullCountIsRefused();
    void openBySerialNumber_data();
    void openBySerialNumber();
    void openIsExclusive();
    void callsOnAClosedOrUnknownHandle_data();
    void callsOnAClosedOrUnknownHandle();
    void handshakeThroughTheLink();
    void readWaitsForAPacedRecord();
    void readGivesUpAtTheTimeout();
    void waitForReceivedEndsOnArrivalOrDeparture_data();
    void waitForReceivedEndsOnArrivalOrDeparture();
    void failingReadsReportIoError();
    void endlessReadEndsWhenTheInstrumentGoes_data();
    void endlessReadEndsWhenTheInstrumentGoes();
    void unplugKillsOpenHandles_data();
    void unplugKillsOpenHandles();
    void plugBackNeedsANewOpen();
    void deviceChangeCallback();
    void clearedCallbackIsNotCalled();
    void controlCommands_data();
    void controlCommands();
    void controlFileDrivesTheInstrument();
    void faultLinesLeaveCommandsUnanswered_data();
    void faultLinesLeaveCommandsUnanswered();
    void controlFileHoldsBeforeTheFirstCommand();
    void lightFromEnvironment_data();
    void lightFromEnvironment();
    void windowAndWorkerAtOnce();
};

namespace {

ft::Handle openDefault(SimulatedLink &link) {
    ft::Handle handle = nullptr;
    const ft::Status status = link.openEx("VANTIKO", ft::OpenBySerialNumber, &handle);
    return status == ft::Ok ? handle : nullptr;
}

ft::Status writeBytes(SimulatedLink &link, ft::Handle handle, const Bytes &bytes) {
    std::uint32_t written = 0;
    return link.write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
}

// One status call and one read of what it reported, as the program's exchanges do.
Bytes readQueued(SimulatedLink &link, ft::Handle handle) {
    std::uint32_t rx = 0, tx = 0, event = 0;
    if (link.getStatus(handle, &rx, &tx, &event) != ft::Ok) {
        return {};
    }
    Bytes bytes(rx);
    std::uint32_t got = 0;
    if (link.read(handle, bytes.data(), rx, &got) != ft::Ok) {
        return {};
    }
    bytes.resize(got);
    return bytes;
}

std::vector<std::string> serials(SimulatedLink &link) {
    std::uint32_t count = 0;
    if (link.createDeviceInfoList(&count) != ft::Ok) {
        return {"<failed>"};
    }
    std::vector<DeviceInfo> list;
    link.getDeviceInfoList(list, &count);
    std::vector<std::string> names;
    for (const DeviceInfo &info : list) {
        names.push_back(info.serialNumber);
    }
    return names;
}

}  // namespace

void TestSimulator::init() {
    qunsetenv("VANTIKO_SIM_LIGHT");
    qunsetenv("VANTIKO_SIM_CONTROL");
}

void TestSimulator::cleanup() {
    init();
}

void TestSimulator::enumeratesTheInstrument() {
    SimulatedLink link;
    QCOMPARE(QString(link.backendName()), QString("simulator"));
    std::uint32_t count = 0;
    QCOMPARE(link.createDeviceInfoList(&count), ft::Ok);
    QCOMPARE(count, 1u);
    std::vector<DeviceInfo> list;
    QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
    QCOMPARE(count, 1u);
    QCOMPARE(list.size(), std::size_t{1});
    QCOMPARE(list[0].serialNumber, std::string("VANTIKO"));
    QCOMPARE(list[0].description, std::string("VANTIKO"));
    QCOMPARE(list[0].type, 8u);
    QCOMPARE(list[0].id, 0x04036014u);
    QCOMPARE(list[0].flags, 0u);

    ft::Handle handle = openDefault(link);
    QVERIFY(handle);
    QCOMPARE(link.createDeviceInfoList(&count), ft::Ok);
    QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
    QCOMPARE(list[0].flags, 1u);  // opened
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::enumeratesAddedDevicesInOrder() {
    SimulatedLink link;
    const auto other = link.addDevice("B7X");
    QVERIFY(other);
    QCOMPARE(other->serialNumber(), std::string("B7X"));
    QCOMPARE(link.addDevice("B7X"), other);  // the same instrument, not a second one
    QCOMPARE(link.instrument("B7X"), other);
    QVERIFY(!link.instrument("NOPE"));
    QCOMPARE(serials(link), (std::vector<std::string>{"VANTIKO", "B7X"}));
    link.unplug("VANTIKO");
    QCOMPARE(serials(link), (std::vector<std::string>{"B7X"}));
}

void TestSimulator::listIsTheOneOfTheLastEnumeration() {
    SimulatedLink link;
    std::uint32_t count = 0;
    std::vector<DeviceInfo> list;
    QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);  // nothing enumerated yet
    QCOMPARE(count, 0u);
    QCOMPARE(link.createDeviceInfoList(&count), ft::Ok);
    link.addDevice("LATE");
    count = 5;
    QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
    QCOMPARE(count, 1u);
    QCOMPARE(list.size(), std::size_t{1});
    count = 0;  // room for no record
    QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
    QCOMPARE(count, 0u);
    QVERIFY(list.empty());
}

void TestSimulator::serialReadsEmptyForSomeEnumerations() {
    SimulatedLink link;
    link.instrument()->setSerialEmptyForEnumerations(2);
    QCOMPARE(serials(link), std::vector<std::string>{""});
    // Reading the list again does not count as an enumeration.
    std::uint32_t count = 1;
    std::vector<DeviceInfo> list;
    QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
    QCOMPARE(list[0].serialNumber, std::string());
    QCOMPARE(serials(link), std::vector<std::string>{""});
    QCOMPARE(serials(link), std::vector<std::string>{"VANTIKO"});
    // The serial number still opens it while the list shows it empty.
    link.instrument()->setSerialEmptyForEnumerations(1);
    QCOMPARE(serials(link), std::vector<std::string>{""});
    QVERIFY(openDefault(link));
}

void TestSimulator::startsEmptyWithoutTheDefaultInstrument() {
    SimulatedLink link(false);
    std::uint32_t count = 7;
    QCOMPARE(link.createDeviceInfoList(&count), ft::Ok);
    QCOMPARE(count, 0u);
    QVERIFY(!link.instrument());
    ft::Handle handle = nullptr;
    QCOMPARE(link.openEx("VANTIKO", ft::OpenBySerialNumber, &handle), ft::DeviceNotFound);
}

void TestSimulator::nullCountIsRefused() {
    SimulatedLink link;
    std::vector<DeviceInfo> list;
    QCOMPARE(link.createDeviceInfoList(nullptr), ft::InvalidParameter);
    QCOMPARE(link.getDeviceInfoList(list, nullptr), ft::InvalidParameter);
    QCOMPARE(link.openEx("VANTIKO", ft::OpenBySerialNumber, nullptr), ft::InvalidParameter);
}

void TestSimulator::openBySerialNumber_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("flags");
    QTest::addColumn<bool>("unplugged");
    QTest::addColumn<ft::Status>("status");
    QTest::newRow("the instrument") << "VANTIKO" << 1 << false << ft::Status{ft::Ok};
    QTest::newRow("by description") << "VANTIKO" << 2 << false << ft::Status{ft::Ok};
    QTest::newRow("other case") << "vantiko" << 1 << false << ft::Status{ft::DeviceNotFound};
    QTest::newRow("prefix") << "VANTIK" << 1 << false << ft::Status{ft::DeviceNotFound};
    QTest::newRow("empty, as the presence probe after a cleared list")
        << "" << 1 << false << ft::Status{ft::DeviceNotFound};
    QTest::newRow("unplugged") << "VANTIKO" << 1 << true << ft::Status{ft::DeviceNotFound};
    QTest::newRow("by location: not supported") << "VANTIKO" << 4 << false << ft::Status{ft::InvalidParameter};
}

void TestSimulator::openBySerialNumber() {
    QFETCH(QString, name);
    QFETCH(int, flags);
    QFETCH(bool, unplugged);
    QFETCH(ft::Status, status);
    SimulatedLink link;
    if (unplugged) {
        link.unplug();
    }
    ft::Handle handle = nullptr;
    QCOMPARE(link.openEx(name.toStdString(), static_cast<std::uint32_t>(flags), &handle), status);
    QCOMPARE(handle != nullptr, status == ft::Ok);
}

void TestSimulator::openIsExclusive() {
    SimulatedLink link;
    link.addDevice("SECOND");
    ft::Handle first = openDefault(link);
    QVERIFY(first);
    ft::Handle again = nullptr;
    QCOMPARE(link.openEx("VANTIKO", ft::OpenBySerialNumber, &again), ft::DeviceNotOpened);
    QVERIFY(!again);
    ft::Handle second = nullptr;
    QCOMPARE(link.openEx("SECOND", ft::OpenBySerialNumber, &second), ft::Ok);
    QVERIFY(second != first);
    QCOMPARE(link.close(first), ft::Ok);
    QCOMPARE(link.openEx("VANTIKO", ft::OpenBySerialNumber, &again), ft::Ok);
    QVERIFY(again != first);  // handles are never reused
    QCOMPARE(link.close(again), ft::Ok);
    QCOMPARE(link.close(second), ft::Ok);
}

void TestSimulator::callsOnAClosedOrUnknownHandle_data() {
    QTest::addColumn<LinkCall>("call");
    std::uint8_t buffer[16] = {};
    QTest::newRow("close") << LinkCall([](SimulatedLink &l, ft::Handle h) { return l.close(h); });
    QTest::newRow("reset") << LinkCall([](SimulatedLink &l, ft::Handle h) { return l.resetDevice(h); });
    QTest::newRow("purge") << LinkCall([](SimulatedLink &l, ft::Handle h) { return l.purge(h, 3); });
    QTest::newRow("bit mode") << LinkCall([](SimulatedLink &l, ft::Handle h) { return l.setBitMode(h, 0, 0x40); });
    QTest::newRow("usb parameters") << LinkCall(
        [](SimulatedLink &l, ft::Handle h) { return l.setUsbParameters(h, 65536, 65536); });
    QTest::newRow("flow control") << LinkCall(
        [](SimulatedLink &l, ft::Handle h) { return l.setFlowControl(h, 0x0100, 0, 0); });
    QTest::newRow("timeouts") << LinkCall([](SimulatedLink &l, ft::Handle h) { return l.setTimeouts(h, 2000, 1000); });
    QTest::newRow("write") << LinkCall([](SimulatedLink &l, ft::Handle h) { return writeBytes(l, h, handshake); });
    QTest::newRow("status") << LinkCall([](SimulatedLink &l, ft::Handle h) {
        std::uint32_t rx = 0, tx = 0, event = 0;
        return l.getStatus(h, &rx, &tx, &event);
    });
    QTest::newRow("read") << LinkCall([buffer](SimulatedLink &l, ft::Handle h) mutable {
        std::uint32_t got = 0;
        return l.read(h, buffer, sizeof buffer, &got);
    });
    QTest::newRow("wait for received") << LinkCall(
        [](SimulatedLink &l, ft::Handle h) { return l.waitForReceived(h, std::chrono::milliseconds(5000)); });
}

void TestSimulator::callsOnAClosedOrUnknownHandle() {
    QFETCH(LinkCall, call);
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QVERIFY(handle);
    QCOMPARE(link.close(handle), ft::Ok);
    QCOMPARE(call(link, handle), ft::InvalidHandle);
    QCOMPARE(call(link, nullptr), ft::InvalidHandle);
    int notAHandle = 0;
    QCOMPARE(call(link, &notAHandle), ft::InvalidHandle);
    // A handle of another link is unknown here too.
    SimulatedLink otherLink;
    ft::Handle foreign = openDefault(otherLink);
    QVERIFY(foreign);
    ft::Handle own = openDefault(link);
    QCOMPARE(link.close(own), ft::Ok);
    QCOMPARE(otherLink.close(foreign), ft::Ok);
    QCOMPARE(call(link, foreign), ft::InvalidHandle);
}

void TestSimulator::handshakeThroughTheLink() {
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QVERIFY(handle);
    // The program's configuration sequence, in its order.
    QCOMPARE(link.resetDevice(handle), ft::Ok);
    QCOMPARE(link.purge(handle, ft::PurgeRx | ft::PurgeTx), ft::Ok);
    QCOMPARE(link.setBitMode(handle, 0x00, ft::BitModeSyncFifo), ft::Ok);
    QCOMPARE(link.setUsbParameters(handle, 65536, 65536), ft::Ok);
    QCOMPARE(link.setFlowControl(handle, ft::FlowRtsCts, 0, 0), ft::Ok);
    QCOMPARE(link.setTimeouts(handle, 2000, 1000), ft::Ok);
    std::uint32_t written = 0;
    QCOMPARE(link.write(handle, handshake.data(), 8, &written), ft::Ok);
    QCOMPARE(written, 8u);
    QCOMPARE(readQueued(link, handle), handshakeAck);
    QCOMPARE(link.instrument()->receivedCommands(), std::vector<Bytes>{handshake});
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::readWaitsForAPacedRecord() {
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    // Half a second a frame, so the record is still being read out however slowly this test runs (under the
    // thread sanitizer, building the record alone takes longer than the default 13 ms frame).
    QCOMPARE(writeBytes(link, handle, parameterCommand(625000, 7, true)), ft::Ok);
    QCOMPARE(readQueued(link, handle), parameterAck);
    QCOMPARE(writeBytes(link, handle, startCommand), ft::Ok);
    QCOMPARE(writeBytes(link, handle, frameRequest), ft::Ok);
    std::uint32_t rx = 0, tx = 0, event = 0;
    QCOMPARE(link.getStatus(handle, &rx, &tx, &event), ft::Ok);
    QCOMPARE(rx, 0u);  // the sensor is still reading out
    Bytes record(recordSize);
    std::uint32_t got = 0;
    QCOMPARE(link.read(handle, record.data(), recordSize, &got), ft::Ok);
    QCOMPARE(got, recordSize);
    QCOMPARE(Bytes(record.begin(), record.begin() + 6), recordHeader);
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::readGivesUpAtTheTimeout() {
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QCOMPARE(link.setTimeouts(handle, 60, 1000), ft::Ok);
    QCOMPARE(writeBytes(link, handle, handshake), ft::Ok);
    Bytes buffer(100);
    std::uint32_t got = 0;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(link.read(handle, buffer.data(), 100, &got), ft::Ok);  // a short read is not an error
    QVERIFY(clock.elapsed() >= 50);
    QCOMPARE(got, 8u);
    buffer.resize(got);
    QCOMPARE(buffer, handshakeAck);
    QCOMPARE(link.read(handle, buffer.data(), 0, &got), ft::Ok);
    QCOMPARE(got, 0u);
    QCOMPARE(link.read(handle, nullptr, 8, &got), ft::InvalidParameter);
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::waitForReceivedEndsOnArrivalOrDeparture_data() {
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<ft::Status>("status");
    QTest::addColumn<bool>("bytesQueued");
    QTest::newRow("nothing comes") << "none" << 150 << ft::Status{ft::Ok} << false;
    QTest::newRow("a reply queued already") << "reply" << 4000 << ft::Status{ft::Ok} << true;
    QTest::newRow("a paced record becomes due") << "record" << 4000 << ft::Status{ft::Ok} << true;
    QTest::newRow("instrument pulled") << "unplug" << 4000 << ft::Status{ft::IoError} << false;
    QTest::newRow("handle closed") << "close" << 4000 << ft::Status{ft::InvalidHandle} << false;
}

void TestSimulator::waitForReceivedEndsOnArrivalOrDeparture() {
    QFETCH(QString, event);
    QFETCH(int, timeoutMs);
    QFETCH(ft::Status, status);
    QFETCH(bool, bytesQueued);
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QVERIFY(handle);
    if (event == QLatin1String("reply")) {
        QCOMPARE(writeBytes(link, handle, handshake), ft::Ok);
    } else if (event == QLatin1String("record")) {
        QCOMPARE(writeBytes(link, handle, startCommand), ft::Ok);
        QCOMPARE(writeBytes(link, handle, frameRequest), ft::Ok);
    }
    // Pulling or closing happens while the wait is on.
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (event == QLatin1String("unplug")) {
            link.unplug();
        } else if (event == QLatin1String("close")) {
            link.close(handle);
        }
    });
    QElapsedTimer clock;
    clock.start();
    const ft::Status waited = link.waitForReceived(handle, std::chrono::milliseconds(timeoutMs));
    const qint64 elapsed = clock.elapsed();
    other.join();
    QCOMPARE(waited, status);
    if (event == QLatin1String("none")) {
        QVERIFY2(elapsed >= 100, qPrintable(QString::number(elapsed)));
    } else {
        QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    }
    std::uint32_t rx = 0, tx = 0, events = 0;
    if (status == ft::Ok) {
        QCOMPARE(link.getStatus(handle, &rx, &tx, &events), ft::Ok);
        QCOMPARE(rx > 0, bytesQueued);
    }
    link.close(handle);
}

void TestSimulator::failingReadsReportIoError() {
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    link.instrument()->failReads(2);
    QCOMPARE(writeBytes(link, handle, handshake), ft::Ok);
    Bytes buffer(8);
    std::uint32_t got = 99;
    QCOMPARE(link.read(handle, buffer.data(), 8, &got), ft::IoError);
    QCOMPARE(got, 0u);
    QCOMPARE(link.read(handle, buffer.data(), 8, &got), ft::IoError);
    QCOMPARE(link.read(handle, buffer.data(), 8, &got), ft::Ok);
    QCOMPARE(buffer, handshakeAck);  // a failed read loses nothing
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::endlessReadEndsWhenTheInstrumentGoes_data() {
    QTest::addColumn<bool>("pull");
    QTest::addColumn<ft::Status>("status");
    QTest::newRow("instrument pulled") << true << ft::Status{ft::IoError};
    QTest::newRow("handle closed") << false << ft::Status{ft::InvalidHandle};
}

void TestSimulator::endlessReadEndsWhenTheInstrumentGoes() {
    QFETCH(bool, pull);
    QFETCH(ft::Status, status);
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QCOMPARE(link.setTimeouts(handle, 0, 0), ft::Ok);  // 0: a read waits for all its bytes, however long
    QCOMPARE(writeBytes(link, handle, handshake), ft::Ok);
    std::atomic<bool> returned{false};
    ft::Status readStatus = ft::OtherError;
    std::uint32_t got = 0;
    Bytes buffer(16);
    std::thread reader([&] {
        readStatus = link.read(handle, buffer.data(), 16, &got);
        returned = true;
    });
    QTest::qWait(100);
    QVERIFY(!returned);
    if (pull) {
        link.unplug();
    } else {
        QCOMPARE(link.close(handle), ft::Ok);
    }
    QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 2000);
    reader.join();
    QCOMPARE(readStatus, status);
    QCOMPARE(got, 8u);  // what had arrived was handed over
    QCOMPARE(Bytes(buffer.begin(), buffer.begin() + 8), handshakeAck);
    link.close(handle);
}

void TestSimulator::unplugKillsOpenHandles_data() {
    callsOnAClosedOrUnknownHandle_data();
}

void TestSimulator::unplugKillsOpenHandles() {
    QFETCH(LinkCall, call);
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QVERIFY(handle);
    link.unplug();
    const ft::Status status = call(link, handle);
    if (QByteArray(QTest::currentDataTag()) == "close") {
        QCOMPARE(status, ft::Ok);  // closing still works, and only once
        QCOMPARE(link.close(handle), ft::InvalidHandle);
    } else {
        QCOMPARE(status, ft::IoError);
        QCOMPARE(link.close(handle), ft::Ok);
    }
    QVERIFY(serials(link).empty());
}

void TestSimulator::plugBackNeedsANewOpen() {
    SimulatedLink link;
    ft::Handle old = openDefault(link);
    QCOMPARE(writeBytes(link, old, parameterCommand(1459, 6, false)), ft::Ok);
    QCOMPARE(writeBytes(link, old, startCommand), ft::Ok);
    QVERIFY(link.instrument()->started());
    link.unplug();
    ft::Handle handle = nullptr;
    QCOMPARE(link.openEx("VANTIKO", ft::OpenBySerialNumber, &handle), ft::DeviceNotFound);
    link.plug();
    QCOMPARE(serials(link), std::vector<std::string>{"VANTIKO"});
    // The old handle stays dead; a new open works although the old one was never closed.
    QCOMPARE(writeBytes(link, old, handshake), ft::IoError);
    handle = openDefault(link);
    QVERIFY(handle);
    QCOMPARE(writeBytes(link, handle, handshake), ft::Ok);
    QCOMPARE(readQueued(link, handle), handshakeAck);
    // Powered up afresh.
    QVERIFY(!link.instrument()->started());
    QCOMPARE(link.instrument()->appliedParameters().integrationCount, 7296u);
    QCOMPARE(link.instrument()->appliedParameters().gearCode, 7);
    QCOMPARE(link.close(old), ft::Ok);
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::deviceChangeCallback() {
    SimulatedLink link;
    std::atomic<int> calls{0};
    std::atomic<bool> presentDuringCall{true};
    link.setDeviceChangeCallback([&] {
        ++calls;
        // Called outside the link's lock: the callback may use the link.
        std::uint32_t count = 0;
        link.createDeviceInfoList(&count);
        presentDuringCall = count > 0;
    });
    link.unplug();
    QCOMPARE(calls.load(), 1);
    QVERIFY(!presentDuringCall);
    link.unplug();  // already out: nothing changes, nobody is told
    QCOMPARE(calls.load(), 1);
    link.plug();
    QCOMPARE(calls.load(), 2);
    QVERIFY(presentDuringCall);
    link.plug();
    QCOMPARE(calls.load(), 2);
    link.addDevice("ARRIVES");
    QCOMPARE(calls.load(), 3);
    link.unplug("UNKNOWN");
    QCOMPARE(calls.load(), 3);
    // From another thread, on that thread.
    std::thread::id callbackThread;
    link.setDeviceChangeCallback([&] { callbackThread = std::this_thread::get_id(); });
    std::thread puller([&] { link.unplug("ARRIVES"); });
    const std::thread::id pullerId = puller.get_id();
    puller.join();
    QCOMPARE(callbackThread, pullerId);
}

void TestSimulator::clearedCallbackIsNotCalled() {
    SimulatedLink link;
    int calls = 0;
    link.setDeviceChangeCallback([&] { ++calls; });
    link.setDeviceChangeCallback({});
    link.unplug();
    link.plug();
    QCOMPARE(calls, 0);
    // A callback may replace itself while it runs.
    link.setDeviceChangeCallback([&] {
        ++calls;
        link.setDeviceChangeCallback({});
    });
    link.unplug();
    link.plug();
    QCOMPARE(calls, 1);
}

void TestSimulator::controlCommands_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("light");
    QTest::addColumn<int>("battery");
    QTest::addColumn<bool>("plugged");
    const int scene = static_cast<int>(Illumination::Scene);
    QTest::newRow("dark") << "dark" << true << static_cast<int>(Illumination::Dark) << 2400 << true;
    QTest::newRow("flood") << "flood" << true << static_cast<int>(Illumination::Flood) << 2400 << true;
    QTest::newRow("scene") << "scene" << true << scene << 2400 << true;
    QTest::newRow("battery") << "battery=2100" << true << scene << 2100 << true;
    QTest::newRow("battery zero") << "battery=0" << true << scene << 0 << true;
    QTest::newRow("battery too large") << "battery=65536" << false << scene << 2400 << true;
    QTest::newRow("battery not a number") << "battery=full" << false << scene << 2400 << true;
    QTest::newRow("battery negative") << "battery=-1" << false << scene << 2400 << true;
    QTest::newRow("unplug") << "unplug" << true << scene << 2400 << false;
    QTest::newRow("unknown") << "explode" << false << scene << 2400 << true;
}

void TestSimulator::controlCommands() {
    QFETCH(QString, line);
    QFETCH(bool, known);
    QFETCH(int, light);
    QFETCH(int, battery);
    QFETCH(bool, plugged);
    SimulatedLink link;
    link.instrument()->setIllumination(Illumination::Scene);
    QCOMPARE(link.applyControlCommand(line.toStdString()), known);
    QCOMPARE(static_cast<int>(link.instrument()->illumination()), light);
    QCOMPARE(serials(link).size(), plugged ? 1u : 0u);
    ft::Handle handle = nullptr;
    if (!plugged) {
        QVERIFY(link.applyControlCommand("plug"));
    }
    handle = openDefault(link);
    QCOMPARE(writeBytes(link, handle, batteryQuery), ft::Ok);
    const Bytes reply = readQueued(link, handle);
    QCOMPARE(reply.size(), 8u);
    QCOMPARE(reply[4] * 256 + reply[5], battery);
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::controlFileDrivesTheInstrument() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("control.txt");
    const auto writeControl = [&](const QByteArray &text) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };
    writeControl("# starts dark\ndark\n");
    qputenv("VANTIKO_SIM_CONTROL", path.toUtf8());
    SimulatedLink link;
    std::atomic<int> changes{0};
    link.setDeviceChangeCallback([&] { ++changes; });
    QTRY_COMPARE_WITH_TIMEOUT(link.instrument()->illumination(), Illumination::Dark, 2000);

    // Longer text each time, so the change shows even where file times are coarse.
    writeControl("  FLOOD  \n\nbattery=2101\n");
    QTRY_COMPARE_WITH_TIMEOUT(link.instrument()->illumination(), Illumination::Flood, 2000);
    writeControl("flood\nbattery=2101\nunplug\n");
    QTRY_COMPARE_WITH_TIMEOUT(serials(link).size(), 0u, 2000);
    QCOMPARE(changes.load(), 1);
    QTest::ignoreMessage(QtWarningMsg, "Unknown simulator control line \"sparkle\"");
    writeControl("scene\nbattery=2101\nsparkle\nplug   \n");
    QTRY_COMPARE_WITH_TIMEOUT(serials(link).size(), 1u, 2000);
    QCOMPARE(changes.load(), 2);
    QCOMPARE(link.instrument()->illumination(), Illumination::Scene);
    ft::Handle handle = openDefault(link);
    QCOMPARE(writeBytes(link, handle, batteryQuery), ft::Ok);
    const Bytes reply = readQueued(link, handle);
    QCOMPARE(reply.size(), 8u);
    QCOMPARE(reply[4] * 256 + reply[5], 2101);
    QCOMPARE(link.close(handle), ft::Ok);
    link.setDeviceChangeCallback({});
}

void TestSimulator::faultLinesLeaveCommandsUnanswered_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("known");
    // Whether the handshake, then two parameter commands in a row, are acknowledged.
    QTest::addColumn<QList<bool>>("answered");
    QTest::newRow("handshake and setting") << "unanswered=2" << true << QList<bool>{false, false, true};
    QTest::newRow("handshake only") << "unanswered=1" << true << QList<bool>{false, true, true};
    QTest::newRow("settings only") << "unanswered-settings=1" << true << QList<bool>{true, false, true};
    QTest::newRow("two settings") << "unanswered-settings=2" << true << QList<bool>{true, false, false};
    QTest::newRow("zero") << "unanswered-settings=0" << true << QList<bool>{true, true, true};
    QTest::newRow("negative") << "unanswered=-1" << false << QList<bool>{true, true, true};
    QTest::newRow("not a number") << "unanswered-settings=all" << false << QList<bool>{true, true, true};
    QTest::newRow("no count") << "unanswered=" << false << QList<bool>{true, true, true};
}

void TestSimulator::faultLinesLeaveCommandsUnanswered() {
    QFETCH(QString, line);
    QFETCH(bool, known);
    QFETCH(QList<bool>, answered);
    SimulatedLink link;
    QCOMPARE(link.applyControlCommand(line.toStdString()), known);
    ft::Handle handle = openDefault(link);
    QVERIFY(handle);
    const std::pair<Bytes, Bytes> exchanges[] = {{handshake, handshakeAck},
                                                 {parameterCommand(1459, 6, false), parameterAck},
                                                 {parameterCommand(7296, 7, true), parameterAck}};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(writeBytes(link, handle, exchanges[i].first), ft::Ok);
        QCOMPARE(readQueued(link, handle), answered[i] ? exchanges[i].second : Bytes{});
    }
    QCOMPARE(link.close(handle), ft::Ok);
}

// A fault written into the file before the program starts meets the very first handshake.
void TestSimulator::controlFileHoldsBeforeTheFirstCommand() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("control.txt");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("unanswered=1\nbattery=2222\n");
    file.close();
    qputenv("VANTIKO_SIM_CONTROL", path.toUtf8());
    SimulatedLink link;
    ft::Handle handle = openDefault(link);
    QCOMPARE(writeBytes(link, handle, handshake), ft::Ok);
    QCOMPARE(readQueued(link, handle), Bytes{});
    QCOMPARE(writeBytes(link, handle, batteryQuery), ft::Ok);
    const Bytes reply = readQueued(link, handle);
    QCOMPARE(reply.size(), 8u);
    QCOMPARE(reply[4] * 256 + reply[5], 2222);
    QCOMPARE(link.close(handle), ft::Ok);
}

void TestSimulator::lightFromEnvironment_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<Illumination>("light");
    QTest::newRow("dark") << QByteArray("dark") << Illumination::Dark;
    QTest::newRow("flood, any case") << QByteArray(" Flood ") << Illumination::Flood;
    QTest::newRow("scene") << QByteArray("scene") << Illumination::Scene;
    QTest::newRow("unset") << QByteArray() << Illumination::Scene;
    QTest::newRow("unknown") << QByteArray("disco") << Illumination::Scene;
}

void TestSimulator::lightFromEnvironment() {
    QFETCH(QByteArray, value);
    QFETCH(Illumination, light);
    if (!value.isEmpty()) {
        qputenv("VANTIKO_SIM_LIGHT", value);
    }
    if (value == "disco") {
        QTest::ignoreMessage(QtWarningMsg,
                             "VANTIKO_SIM_LIGHT=\"disco\" is not scene, dark or flood; showing the scene.");
    }
    SimulatedLink link;
    QCOMPARE(link.instrument()->illumination(), light);
    QCOMPARE(link.addDevice("MORE")->illumination(), light);
}

// The worker streams frames while the window enumerates, changes the light and pulls the instrument:
// everything must stay consistent (and clean under the sanitizers).
void TestSimulator::windowAndWorkerAtOnce() {
    SimulatedLink link;
    link.instrument()->setPaced(false);
    ft::Handle handle = openDefault(link);
    QCOMPARE(writeBytes(link, handle, startCommand), ft::Ok);
    std::atomic<bool> done{false};
    std::atomic<int> records{0};
    std::atomic<int> failures{0};
    std::thread worker([&] {
        Bytes stream;
        Bytes buffer(recordSize);
        writeBytes(link, handle, frameRequest);
        while (!done) {
            std::uint32_t rx = 0, tx = 0, event = 0;
            if (link.getStatus(handle, &rx, &tx, &event) != ft::Ok) {
                ++failures;
                continue;
            }
            if (rx == 0) {
                continue;
            }
            std::uint32_t got = 0;
            if (link.read(handle, buffer.data(), std::min<std::uint32_t>(rx, recordSize), &got) != ft::Ok) {
                ++failures;
                continue;
            }
            stream.insert(stream.end(), buffer.begin(), buffer.begin() + got);
            if (stream.size() >= recordSize) {
                stream.clear();
                ++records;
                writeBytes(link, handle, frameRequest);
            }
        }
    });
    const Illumination lights[] = {Illumination::Dark, Illumination::Flood, Illumination::Scene};
    for (int round = 0; round < 30; ++round) {
        std::uint32_t count = 0;
        link.createDeviceInfoList(&count);
        link.instrument()->setIllumination(lights[round % 3]);
        (void)link.instrument()->appliedParameters();
        QTest::qWait(2);
    }
    QTRY_VERIFY_WITH_TIMEOUT(records.load() >= 5, 5000);
    QCOMPARE(failures.load(), 0);
    link.unplug();
    QTRY_VERIFY_WITH_TIMEOUT(failures.load() > 0, 2000);
    done = true;
    worker.join();
    QCOMPARE(link.close(handle), ft::Ok);
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
