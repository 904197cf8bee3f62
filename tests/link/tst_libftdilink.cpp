// The libftdi1 link without a device: its receive ring, the reader thread and its shutdown, the mapping of
// USB failures to statuses, the device-list filter, opening by serial number and the locking of writes,
// over a fake bus whose ports behave like an FTDI bridge (a quiet device answers a read after a few ms).

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include "ByteRingBuffer.h"
#include "FtdiBus.h"
#include "LibFtdiLink.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// One device on the fake bus: what it will send, what it got, and how it should misbehave.
struct FakeDevice {
    FtdiUsbDevice usb;
    int openError = 0;  // an open of it fails with this (negative) code

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::uint8_t> toHost;
    std::vector<Bytes> fromHost;
    QStringList calls;
    int readFailure = 0;     // reads fail with this code from now on (a pulled device)
    int writeFailure = 0;    // writes fail with this code from now on
    int settingFailure = 0;  // settings fail with this code from now on
    int quietReadMs = 5;     // a read with nothing to deliver returns after this long, as a bridge does
    int readDelayMs = 0;     // every read takes at least this long
    int readsReturned = 0;
    int portsDestroyed = 0;
    bool destroyedDuringCall = false;

    // Calls on one port must never overlap: the port is not thread-safe.
    std::atomic<int> callsInside{0};
    std::atomic<bool> overlapped{false};

    void send(const Bytes &bytes) {
        std::lock_guard lock(mutex);
        toHost.insert(toHost.end(), bytes.begin(), bytes.end());
        changed.notify_all();
    }
    void failReads(int code) {
        std::lock_guard lock(mutex);
        readFailure = code;
        changed.notify_all();
    }
    QStringList callLog() {
        std::lock_guard lock(mutex);
        return calls;
    }
    std::vector<Bytes> written() {
        std::lock_guard lock(mutex);
        return fromHost;
    }
    std::size_t unsent() {
        std::lock_guard lock(mutex);
        return toHost.size();
    }
};

class FakePort : public FtdiPort {
public:
    explicit FakePort(std::shared_ptr<FakeDevice> device) : m_device(std::move(device)) {}
    ~FakePort() override {
        std::lock_guard lock(m_device->mutex);
        m_device->destroyedDuringCall = m_device->destroyedDuringCall || m_device->callsInside.load() != 0;
        ++m_device->portsDestroyed;
    }

    int reset() override { return record(QStringLiteral("reset")); }
    int purge(bool rx, bool tx) override {
        return record(QStringLiteral("purge rx=%1 tx=%2").arg(int(rx)).arg(int(tx)));
    }
    int setBitMode(std::uint8_t mask, std::uint8_t mode) override {
        return record(QStringLiteral("bitmode %1 %2").arg(mask).arg(mode, 2, 16, QLatin1Char('0')));
    }
    int setChunkSizes(std::uint32_t readChunk, std::uint32_t writeChunk) override {
        return record(QStringLiteral("chunks %1 %2").arg(readChunk).arg(writeChunk));
    }
    int setFlowControl(std::uint16_t flowControl, std::uint8_t xon, std::uint8_t xoff) override {
        return record(QStringLiteral("flow %1 %2 %3").arg(flowControl, 4, 16, QLatin1Char('0')).arg(xon).arg(xoff));
    }
    int setUsbTimeouts(int readTimeoutMs, int writeTimeoutMs) override {
        return record(QStringLiteral("timeouts %1 %2").arg(readTimeoutMs).arg(writeTimeoutMs));
    }
    int setLatencyTimer(std::uint8_t milliseconds) override {
        return record(QStringLiteral("latency %1").arg(milliseconds));
    }

    int read(std::uint8_t *buffer, int size) override {
        const Inside inside(*m_device);
        std::unique_lock lock(m_device->mutex);
        if (m_device->readDelayMs > 0) {
            m_device->changed.wait_for(lock, std::chrono::milliseconds(m_device->readDelayMs), [] { return false; });
        }
        m_device->changed.wait_for(lock, std::chrono::milliseconds(m_device->quietReadMs),
                                   [this] { return !m_device->toHost.empty() || m_device->readFailure != 0; });
        ++m_device->readsReturned;
        if (m_device->readFailure != 0) {
            m_lastError = "usb bulk read failed";
            return m_device->readFailure;
        }
        const int count = std::min<int>(size, static_cast<int>(m_device->toHost.size()));
        std::copy_n(m_device->toHost.begin(), count, buffer);
        m_device->toHost.erase(m_device->toHost.begin(), m_device->toHost.begin() + count);
        return count;
    }

    int write(const std::uint8_t *buffer, int size) override {
        const Inside inside(*m_device);
        // Long enough that two unlocked writers would overlap.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard lock(m_device->mutex);
        if (m_device->writeFailure != 0) {
            m_lastError = "usb bulk write failed";
            return m_device->writeFailure;
        }
        m_device->fromHost.emplace_back(buffer, buffer + size);
        return size;
    }

    std::string errorString() const override { return m_lastError; }

private:
    struct Inside {
        explicit Inside(FakeDevice &device) : m_device(device) {
            if (m_device.callsInside.fetch_add(1) != 0) {
                m_device.overlapped = true;
            }
        }
        ~Inside() { m_device.callsInside.fetch_sub(1); }
        FakeDevice &m_device;
    };

    int record(const QString &call) {
        const Inside inside(*m_device);
        std::lock_guard lock(m_device->mutex);
        m_device->calls.append(call);
        if (m_device->settingFailure != 0) {
            m_lastError = "USB request failed";
        }
        return m_device->settingFailure;
    }

    std::shared_ptr<FakeDevice> m_device;
    std::string m_lastError;
};

class FakeBus : public FtdiBus {
public:
    std::shared_ptr<FakeDevice> attach(std::uint16_t vendorId, std::uint16_t productId, const std::string &serial) {
        auto device = std::make_shared<FakeDevice>();
        device->usb.vendorId = vendorId;
        device->usb.productId = productId;
        device->usb.busNumber = 1;
        device->usb.address = static_cast<std::uint8_t>(m_devices.size() + 2);
        device->usb.serialNumber = serial;
        device->usb.description = "Bridge " + serial;
        m_devices.push_back(device);
        return device;
    }

    int enumerate(std::vector<FtdiUsbDevice> &devices) override {
        devices.clear();
        if (m_enumerateError != 0) {
            return m_enumerateError;
        }
        for (const auto &device : m_devices) {
            devices.push_back(device->usb);
        }
        return static_cast<int>(devices.size());
    }

    FtdiOpenResult open(std::uint16_t vendorId, std::uint16_t productId, const std::string &description,
                        const std::string &serialNumber) override {
        m_openAttempts.append(
            QStringLiteral("%1:%2").arg(vendorId, 4, 16, QLatin1Char('0')).arg(productId, 4, 16, QLatin1Char('0')));
        FtdiOpenResult result;
        for (const auto &device : m_devices) {
            const bool matches = device->usb.vendorId == vendorId && device->usb.productId == productId &&
                                 (serialNumber.empty() || device->usb.serialNumber == serialNumber) &&
                                 (description.empty() || device->usb.description == description);
            if (!matches) {
                continue;
            }
            if (device->openError != 0) {
                result.error = device->openError;
                result.errorText = "unable to open usb device";
                return result;
            }
            result.port = std::make_unique<FakePort>(device);
            return result;
        }
        result.error = kDeviceNotFound;
        result.errorText = "device not found";
        return result;
    }

    int m_enumerateError = 0;
    QStringList m_openAttempts;

private:
    std::vector<std::shared_ptr<FakeDevice>> m_devices;
};

Bytes sequence(std::size_t count, std::uint8_t start = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(start + i);
    }
    return bytes;
}

// Polls the queued-byte count the way the acquisition worker does, until `wanted` bytes wait.
bool waitForQueued(UsbFifoLink &link, ft::Handle handle, std::uint32_t wanted, int timeoutMs = 2000) {
    QElapsedTimer timer;
    timer.start();
    std::uint32_t rx = 0;
    while (timer.elapsed() < timeoutMs) {
        std::uint32_t tx = 0;
        std::uint32_t event = 0;
        if (link.getStatus(handle, &rx, &tx, &event) == ft::Ok && rx >= wanted) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

class TestLibFtdiLink : public QObject {
    Q_OBJECT

private:
    FakeBus *m_bus = nullptr;
    std::unique_ptr<LibFtdiLink> m_link;
    std::shared_ptr<FakeDevice> m_instrument;

    // A link over a bus with the instrument (an FT232H with serial "VANTIKO") and some other devices.
    void makeLink(std::size_t ringCapacity = LibFtdiLink::kDefaultRingCapacity) {
        auto bus = std::make_unique<FakeBus>();
        m_bus = bus.get();
        m_bus->attach(0x0403, 0x6010, "DUALBRIDGE");
        m_instrument = m_bus->attach(0x0403, 0x6014, "VANTIKO");
        m_link = std::make_unique<LibFtdiLink>(std::move(bus), ringCapacity);
    }

    ft::Handle openInstrument() {
        ft::Handle handle = nullptr;
        if (m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &handle) != ft::Ok) {
            return nullptr;
        }
        return handle;
    }

private slots:
    void cleanup() {
        m_link.reset();
        m_instrument.reset();
        m_bus = nullptr;
    }

    // --- The receive ring ---------------------------------------------------------------------------------

    void ringKeepsOrderAcrossTheWrap_data() {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<unsigned>("seed");
        QTest::newRow("one byte") << 1 << 1u;
        QTest::newRow("prime") << 7 << 2u;
        QTest::newRow("record-sized") << 8200 << 3u;
    }
    void ringKeepsOrderAcrossTheWrap() {
        QFETCH(int, capacity);
        QFETCH(unsigned, seed);
        ByteRingBuffer ring(static_cast<std::size_t>(capacity));
        std::deque<std::uint8_t> model;
        std::mt19937 random(seed);
        std::uint8_t next = 0;
        for (int step = 0; step < 2000; ++step) {
            const std::size_t amount = random() % (2 * static_cast<std::size_t>(capacity) + 1);
            if (random() % 2 == 0) {
                Bytes in = sequence(amount, next);
                const std::size_t accepted = ring.write(in.data(), in.size());
                QCOMPARE(accepted, std::min(amount, static_cast<std::size_t>(capacity) - model.size()));
                model.insert(model.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(accepted));
                next = static_cast<std::uint8_t>(next + accepted);
            } else {
                Bytes out(amount);
                const std::size_t taken = ring.read(out.data(), out.size());
                QCOMPARE(taken, std::min(amount, model.size()));
                QVERIFY(std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(taken), model.begin()));
                model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(taken));
            }
            QCOMPARE(ring.size(), model.size());
            QCOMPARE(ring.freeSpace(), static_cast<std::size_t>(capacity) - model.size());
        }
    }

    void ringTakesOnlyWhatFitsAndClears() {
        ByteRingBuffer ring(8);
        const Bytes in = sequence(10);
        QCOMPARE(ring.write(in.data(), in.size()), std::size_t{8});
        QCOMPARE(ring.write(in.data(), 1), std::size_t{0});
        Bytes out(3);
        QCOMPARE(ring.read(out.data(), out.size()), std::size_t{3});
        QCOMPARE(out, (Bytes{0, 1, 2}));
        QCOMPARE(ring.write(in.data() + 8, 2), std::size_t{2});
        ring.clear();
        QVERIFY(ring.isEmpty());
        QCOMPARE(ring.freeSpace(), std::size_t{8});
        QCOMPARE(ring.read(out.data(), out.size()), std::size_t{0});
        QCOMPARE(ring.write(in.data(), 8), std::size_t{8});
        Bytes all(8);
        QCOMPARE(ring.read(all.data(), all.size()), std::size_t{8});
        QCOMPARE(all, sequence(8));
    }

    // --- The device list ----------------------------------------------------------------------------------

    void listHoldsOnlyFifoBridgesOfTheVendor() {
        auto bus = std::make_unique<FakeBus>();
        bus->attach(0x0403, 0x6001, "SERIALCABLE");  // a UART bridge
        bus->attach(0x0403, 0x6014, "VANTIKO");
        bus->attach(0x1234, 0x6014, "STRANGER");  // another vendor's ids
        bus->attach(0x0403, 0x6011, "QUADBRIDGE");
        bus->attach(0x0403, 0x6010, "DUALBRIDGE");
        bus->attach(0x0403, 0x6015, "XSERIES");
        LibFtdiLink link(std::move(bus));

        std::uint32_t count = 99;
        QCOMPARE(link.createDeviceInfoList(&count), ft::Ok);
        QCOMPARE(count, 2u);
        std::vector<DeviceInfo> list;
        QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
        QCOMPARE(count, 2u);
        QCOMPARE(list.size(), std::size_t{2});
        QCOMPARE(list[0].serialNumber, std::string("VANTIKO"));
        QCOMPARE(list[0].id, 0x04036014u);
        QCOMPARE(list[0].description, std::string("Bridge VANTIKO"));
        QCOMPARE(list[1].serialNumber, std::string("DUALBRIDGE"));
        QCOMPARE(list[1].id, 0x04036010u);
        QVERIFY(list[0].type != list[1].type);
    }

    void listFillsNoMoreThanAskedAndNeedsABuild() {
        makeLink();
        std::vector<DeviceInfo> list;
        std::uint32_t count = 5;
        QCOMPARE(m_link->getDeviceInfoList(list, &count), ft::DeviceListNotReady);
        QCOMPARE(count, 0u);
        QCOMPARE(m_link->createDeviceInfoList(&count), ft::Ok);
        QCOMPARE(count, 2u);
        count = 1;
        QCOMPARE(m_link->getDeviceInfoList(list, &count), ft::Ok);
        QCOMPARE(count, 1u);
        QCOMPARE(list.size(), std::size_t{1});
        QCOMPARE(list[0].serialNumber, std::string("DUALBRIDGE"));
    }

    void listOfABrokenUsbStackFails() {
        makeLink();
        m_bus->m_enumerateError = -5;
        std::uint32_t count = 7;
        QVERIFY(m_link->createDeviceInfoList(&count) != ft::Ok);
        // Left alone, so the failure is not taken for an empty bus.
        QCOMPARE(count, 7u);
        std::vector<DeviceInfo> list;
        count = 4;
        QCOMPARE(m_link->getDeviceInfoList(list, &count), ft::DeviceListNotReady);
        QVERIFY(list.empty());
    }

    void emptySerialNumbersStayInTheList() {
        // A device whose strings cannot be read (no access) is listed with an empty serial number, so
        // discovery can say the information is incomplete.
        auto bus = std::make_unique<FakeBus>();
        bus->attach(0x0403, 0x6014, "");
        LibFtdiLink link(std::move(bus));
        std::uint32_t count = 0;
        QCOMPARE(link.createDeviceInfoList(&count), ft::Ok);
        std::vector<DeviceInfo> list;
        QCOMPARE(link.getDeviceInfoList(list, &count), ft::Ok);
        QCOMPARE(count, 1u);
        QVERIFY(list[0].serialNumber.empty());
    }

    // --- Opening ------------------------------------------------------------------------------------------

    void openBySerialNumber_data() {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<unsigned>("flags");
        QTest::addColumn<unsigned>("status");
        QTest::newRow("the instrument") << "VANTIKO" << unsigned(ft::OpenBySerialNumber) << unsigned(ft::Ok);
        QTest::newRow("a two-channel bridge") << "DUALBRIDGE" << unsigned(ft::OpenBySerialNumber) << unsigned(ft::Ok);
        QTest::newRow("by description") << "Bridge VANTIKO" << unsigned(ft::OpenByDescription) << unsigned(ft::Ok);
        QTest::newRow("absent") << "NOSUCHDEVICE" << unsigned(ft::OpenBySerialNumber) << unsigned(ft::DeviceNotFound);
        QTest::newRow("another vendor's device")
            << "STRANGER" << unsigned(ft::OpenBySerialNumber) << unsigned(ft::DeviceNotFound);
        QTest::newRow("a UART bridge") << "SERIALCABLE" << unsigned(ft::OpenBySerialNumber)
                                       << unsigned(ft::DeviceNotFound);
        QTest::newRow("empty text matches nothing")
            << "" << unsigned(ft::OpenBySerialNumber) << unsigned(ft::DeviceNotFound);
        QTest::newRow("unknown open flag") << "VANTIKO" << 4u << unsigned(ft::InvalidParameter);
    }
    void openBySerialNumber() {
        QFETCH(QString, serial);
        QFETCH(unsigned, flags);
        QFETCH(unsigned, status);
        makeLink();
        m_bus->attach(0x1234, 0x6014, "STRANGER");
        m_bus->attach(0x0403, 0x6001, "SERIALCABLE");

        int marker = 0;
        const ft::Handle sentinel = &marker;
        ft::Handle handle = sentinel;
        QCOMPARE(unsigned(m_link->openEx(serial.toStdString(), flags, &handle)), status);
        if (status != ft::Ok) {
            // A failed open leaves the caller's handle alone (the presence probe relies on it).
            QCOMPARE(handle, sentinel);
            return;
        }
        QVERIFY(handle != nullptr);
        QCOMPARE(m_link->close(handle), ft::Ok);
    }

    void openTriesOnlyTheVendorsFifoBridges() {
        makeLink();
        ft::Handle handle = nullptr;
        QCOMPARE(m_link->openEx("NOSUCHDEVICE", ft::OpenBySerialNumber, &handle), ft::DeviceNotFound);
        QCOMPARE(m_bus->m_openAttempts, (QStringList{"0403:6014", "0403:6010"}));
    }

    void openOfADeviceWithoutAccessSaysNotOpened() {
        makeLink();
        m_instrument->openError = -4;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Cannot open FTDI device 0403:6014: unable to open"));
        ft::Handle handle = nullptr;
        QCOMPARE(m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &handle), ft::DeviceNotOpened);
        QCOMPARE(handle, nullptr);
    }

    void configurationReachesThePortInOrder() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->resetDevice(handle), ft::Ok);
        QCOMPARE(m_link->purge(handle, ft::PurgeRx | ft::PurgeTx), ft::Ok);
        QCOMPARE(m_link->setBitMode(handle, 0x00, ft::BitModeSyncFifo), ft::Ok);
        QCOMPARE(m_link->setUsbParameters(handle, 65536, 65536), ft::Ok);
        QCOMPARE(m_link->setFlowControl(handle, ft::FlowRtsCts, 0, 0), ft::Ok);
        QCOMPARE(m_link->setTimeouts(handle, 2000, 1000), ft::Ok);
        QCOMPARE(m_instrument->callLog(), (QStringList{"latency 2", "reset", "purge rx=1 tx=1", "bitmode 0 40",
                                                       "chunks 65536 65536", "flow 0100 0 0", "timeouts 2000 1000"}));
    }

    void settingsOutsideTheirRangeAreRefused() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->setUsbParameters(handle, 0, 65536), ft::InvalidParameter);
        QCOMPARE(m_link->setFlowControl(handle, 0x0300, 0, 0), ft::InvalidParameter);
        // A zero timeout lets reads wait without limit; a USB transfer still gets a finite one.
        QCOMPARE(m_link->setTimeouts(handle, 0, 0), ft::Ok);
        QVERIFY(m_instrument->callLog().contains("timeouts 5000 5000"));
    }

    // --- Receiving ----------------------------------------------------------------------------------------

    void queuedBytesAreReportedAndReadInOrder() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        // A frame record arriving in uneven pieces.
        const Bytes record = sequence(8200, 0x30);
        m_instrument->send(Bytes(record.begin(), record.begin() + 100));
        m_instrument->send(Bytes(record.begin() + 100, record.begin() + 5000));
        m_instrument->send(Bytes(record.begin() + 5000, record.end()));
        QVERIFY(waitForQueued(*m_link, handle, 8200));

        std::uint32_t rx = 0;
        std::uint32_t tx = 1;
        std::uint32_t event = 1;
        QCOMPARE(m_link->getStatus(handle, &rx, &tx, &event), ft::Ok);
        QCOMPARE(rx, 8200u);
        QCOMPARE(tx, 0u);
        Bytes got(8200);
        std::uint32_t returned = 0;
        QCOMPARE(m_link->read(handle, got.data(), 8200, &returned), ft::Ok);
        QCOMPARE(returned, 8200u);
        QCOMPARE(got, record);
        QCOMPARE(m_link->getStatus(handle, &rx, &tx, &event), ft::Ok);
        QCOMPARE(rx, 0u);
    }

    void readWaitsForTheAmountUpToTheTimeout() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->setTimeouts(handle, 150, 1000), ft::Ok);
        m_instrument->send({1, 2, 3});
        QVERIFY(waitForQueued(*m_link, handle, 3));

        QElapsedTimer timer;
        timer.start();
        Bytes got(10, 0);
        std::uint32_t returned = 0;
        QCOMPARE(m_link->read(handle, got.data(), 10, &returned), ft::Ok);
        QVERIFY2(timer.elapsed() >= 140, "a short read waits out the read timeout");
        QVERIFY(timer.elapsed() < 1500);
        QCOMPARE(returned, 3u);
        QCOMPARE(Bytes(got.begin(), got.begin() + 3), (Bytes{1, 2, 3}));
    }

    void readReturnsAsSoonAsTheAmountIsThere() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->setTimeouts(handle, 5000, 1000), ft::Ok);
        std::thread device([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            m_instrument->send(sequence(4));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            m_instrument->send(sequence(4, 4));
        });
        QElapsedTimer timer;
        timer.start();
        Bytes got(8, 0);
        std::uint32_t returned = 0;
        const ft::Status status = m_link->read(handle, got.data(), 8, &returned);
        const qint64 elapsed = timer.elapsed();
        device.join();
        QCOMPARE(status, ft::Ok);
        QCOMPARE(returned, 8u);
        QCOMPARE(got, sequence(8));
        QVERIFY2(elapsed < 2500, "the read did not wait for its timeout");
    }

    void zeroReadTimeoutWaitsForTheAmount() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->setTimeouts(handle, 0, 1000), ft::Ok);
        std::thread device([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            m_instrument->send(sequence(4));
        });
        QElapsedTimer timer;
        timer.start();
        Bytes got(4, 0);
        std::uint32_t returned = 0;
        const ft::Status status = m_link->read(handle, got.data(), 4, &returned);
        const qint64 elapsed = timer.elapsed();
        device.join();
        QCOMPARE(status, ft::Ok);
        QCOMPARE(returned, 4u);
        QCOMPARE(got, sequence(4));
        QVERIFY(elapsed >= 200);
    }

    void purgeEmptiesTheReceiveQueue() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        m_instrument->send(sequence(300));
        QVERIFY(waitForQueued(*m_link, handle, 300));
        QCOMPARE(m_link->purge(handle, ft::PurgeRx), ft::Ok);
        std::uint32_t rx = 1;
        QCOMPARE(m_link->getStatus(handle, &rx, nullptr, nullptr), ft::Ok);
        QCOMPARE(rx, 0u);
        QVERIFY(m_instrument->callLog().contains("purge rx=1 tx=0"));
        // What comes after the purge is received as usual.
        m_instrument->send({0xAB});
        QVERIFY(waitForQueued(*m_link, handle, 1));
        std::uint8_t byte = 0;
        std::uint32_t returned = 0;
        QCOMPARE(m_link->read(handle, &byte, 1, &returned), ft::Ok);
        QCOMPARE(byte, std::uint8_t{0xAB});
    }

    void aFullRingHoldsTheDeviceBackWithoutLoss() {
        makeLink(16);
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        const Bytes sent = sequence(40);
        m_instrument->send(sent);
        QVERIFY(waitForQueued(*m_link, handle, 16));
        std::uint32_t rx = 0;
        QCOMPARE(m_link->getStatus(handle, &rx, nullptr, nullptr), ft::Ok);
        QCOMPARE(rx, 16u);
        QCOMPARE(m_instrument->unsent(), std::size_t{24});

        Bytes received;
        Bytes piece(16);
        while (received.size() < sent.size()) {
            QVERIFY(waitForQueued(*m_link, handle, 1));
            std::uint32_t returned = 0;
            QCOMPARE(m_link->read(handle, piece.data(), 16, &returned), ft::Ok);
            received.insert(received.end(), piece.begin(), piece.begin() + returned);
        }
        QCOMPARE(received, sent);
    }

    // --- Failures -----------------------------------------------------------------------------------------

    void aFailedUsbReadFailsStatusAndRead() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        m_instrument->send({1, 2, 3});
        QVERIFY(waitForQueued(*m_link, handle, 3));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Reading from the FTDI device failed.*usb bulk read"));
        m_instrument->failReads(-4);
        std::uint32_t polled = 0;
        QTRY_COMPARE(m_link->getStatus(handle, &polled, nullptr, nullptr), ft::IoError);
        // A failed status call leaves the caller's count as it was.
        std::uint32_t rx = 77;
        QCOMPARE(m_link->getStatus(handle, &rx, nullptr, nullptr), ft::IoError);
        QCOMPARE(rx, 77u);
        std::uint8_t buffer[3] = {};
        std::uint32_t returned = 9;
        QCOMPARE(m_link->read(handle, buffer, 3, &returned), ft::IoError);
        QCOMPARE(returned, 0u);
        // The device stays failed until it is closed; closing still works.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        QCOMPARE(m_link->getStatus(handle, &rx, nullptr, nullptr), ft::IoError);
        QCOMPARE(m_link->close(handle), ft::Ok);
        QCOMPARE(m_instrument->portsDestroyed, 1);
    }

    void aReadWaitingWhenTheDeviceFailsReturnsTheFailure() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->setTimeouts(handle, 5000, 1000), ft::Ok);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Reading from the FTDI device failed"));
        std::thread pull([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            m_instrument->failReads(-1);
        });
        QElapsedTimer timer;
        timer.start();
        Bytes buffer(8200);
        std::uint32_t returned = 0;
        const ft::Status status = m_link->read(handle, buffer.data(), 8200, &returned);
        const qint64 elapsed = timer.elapsed();
        pull.join();
        QCOMPARE(status, ft::IoError);
        QVERIFY(elapsed < 2500);
    }

    void aFailedWriteOrSettingIsAnIoError() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        {
            std::lock_guard lock(m_instrument->mutex);
            m_instrument->writeFailure = -1;
            m_instrument->settingFailure = -1;
        }
        const Bytes command{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4A, 0x0D};
        std::uint32_t written = 5;
        QCOMPARE(m_link->write(handle, command.data(), 8, &written), ft::IoError);
        QCOMPARE(written, 0u);
        QCOMPARE(m_link->resetDevice(handle), ft::IoError);
        QCOMPARE(m_link->setBitMode(handle, 0x00, ft::BitModeSyncFifo), ft::IoError);
        QCOMPARE(m_link->purge(handle, ft::PurgeRx | ft::PurgeTx), ft::IoError);
    }

    // --- Closing and handles ------------------------------------------------------------------------------

    void closeStopsTheReaderInsideAUsbRead() {
        makeLink();
        {
            std::lock_guard lock(m_instrument->mutex);
            m_instrument->readDelayMs = 200;
        }
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(m_link->close(handle), ft::Ok);
        QVERIFY(timer.elapsed() < 1500);
        std::lock_guard lock(m_instrument->mutex);
        QCOMPARE(m_instrument->portsDestroyed, 1);
        QVERIFY2(!m_instrument->destroyedDuringCall, "the port was closed while the reader was still in it");
        QVERIFY(!m_instrument->overlapped);
    }

    void closeWakesAReadThatWaits() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->setTimeouts(handle, 5000, 1000), ft::Ok);
        std::atomic<ft::Status> status{ft::Ok};
        std::atomic<bool> done{false};
        std::thread waiter([&] {
            Bytes buffer(8200);
            std::uint32_t returned = 0;
            status = m_link->read(handle, buffer.data(), 8200, &returned);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QVERIFY(!done);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(m_link->close(handle), ft::Ok);
        waiter.join();
        QVERIFY(timer.elapsed() < 2500);
        QCOMPARE(status.load(), ft::InvalidHandle);
    }

    void aClosedHandleIsInvalidForEveryCall() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        QCOMPARE(m_link->close(handle), ft::Ok);
        QCOMPARE(m_link->close(handle), ft::InvalidHandle);
        std::uint32_t value = 0;
        std::uint8_t byte = 0;
        QCOMPARE(m_link->getStatus(handle, &value, &value, &value), ft::InvalidHandle);
        QCOMPARE(m_link->read(handle, &byte, 1, &value), ft::InvalidHandle);
        QCOMPARE(m_link->write(handle, &byte, 1, &value), ft::InvalidHandle);
        QCOMPARE(m_link->purge(handle, ft::PurgeRx), ft::InvalidHandle);
        QCOMPARE(m_link->resetDevice(handle), ft::InvalidHandle);
        QCOMPARE(m_link->setTimeouts(handle, 1, 1), ft::InvalidHandle);

        // Reopening gives a new handle; the old one stays dead.
        const ft::Handle again = openInstrument();
        QVERIFY(again);
        QVERIFY(again != handle);
        QCOMPARE(m_link->getStatus(handle, &value, nullptr, nullptr), ft::InvalidHandle);
        QCOMPARE(m_link->getStatus(again, &value, nullptr, nullptr), ft::Ok);
    }

    void destroyingTheLinkClosesOpenDevices() {
        makeLink();
        QVERIFY(openInstrument());
        m_link.reset();
        std::lock_guard lock(m_instrument->mutex);
        QCOMPARE(m_instrument->portsDestroyed, 1);
        QVERIFY(!m_instrument->destroyedDuringCall);
    }

    // --- Threads ------------------------------------------------------------------------------------------

    void writesFromTwoThreadsGoOutWholeAndOneAtATime() {
        makeLink();
        const ft::Handle handle = openInstrument();
        QVERIFY(handle);
        const Bytes request{0xFF, 0xAA, 0xC0, 0x01, 0x00, 0x00, 0x6A, 0x0D};
        const Bytes battery{0xFF, 0xAA, 0xA0, 0x04, 0x00, 0x00, 0x4D, 0x0D};
        constexpr int kWrites = 150;
        std::atomic<int> failures{0};
        auto writer = [&](const Bytes &command) {
            for (int i = 0; i < kWrites; ++i) {
                std::uint32_t written = 0;
                if (m_link->write(handle, command.data(), 8, &written) != ft::Ok || written != 8) {
                    ++failures;
                }
            }
        };
        // The device keeps talking meanwhile, so the reader is busy on the same port.
        std::atomic<bool> talking{true};
        std::thread chatter([&] {
            while (talking) {
                m_instrument->send(sequence(64));
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        std::thread first(writer, request);
        std::thread second(writer, battery);
        first.join();
        second.join();
        talking = false;
        chatter.join();

        QCOMPARE(failures.load(), 0);
        QVERIFY2(!m_instrument->overlapped, "two calls were inside the port at once");
        const std::vector<Bytes> written = m_instrument->written();
        QCOMPARE(written.size(), std::size_t{2} * kWrites);
        QCOMPARE(std::count(written.begin(), written.end(), request), std::ptrdiff_t{kWrites});
        QCOMPARE(std::count(written.begin(), written.end(), battery), std::ptrdiff_t{kWrites});
    }

    // --- A real device (skipped unless one is named) -----------------------------------------------------

    void handshakeWithARealInstrument() {
        const QByteArray serial = qgetenv("VANTIKO_TEST_LIBFTDI_SERIAL");
        if (serial.isEmpty()) {
            QSKIP("Set VANTIKO_TEST_LIBFTDI_SERIAL to the serial number of an attached instrument.");
        }
        LibFtdiLink link;
        ft::Handle handle = nullptr;
        QCOMPARE(link.openEx(serial.toStdString(), ft::OpenBySerialNumber, &handle), ft::Ok);
        QCOMPARE(link.resetDevice(handle), ft::Ok);
        QCOMPARE(link.purge(handle, ft::PurgeRx | ft::PurgeTx), ft::Ok);
        QCOMPARE(link.setBitMode(handle, 0x00, ft::BitModeSyncFifo), ft::Ok);
        QCOMPARE(link.setUsbParameters(handle, 65536, 65536), ft::Ok);
        QCOMPARE(link.setFlowControl(handle, ft::FlowRtsCts, 0, 0), ft::Ok);
        QCOMPARE(link.setTimeouts(handle, 2000, 1000), ft::Ok);
        const Bytes handshake{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4A, 0x0D};
        std::uint32_t written = 0;
        QCOMPARE(link.write(handle, handshake.data(), 8, &written), ft::Ok);
        QVERIFY(waitForQueued(link, handle, 8, 1000));
        Bytes ack(8);
        std::uint32_t returned = 0;
        QCOMPARE(link.read(handle, ack.data(), 8, &returned), ft::Ok);
        QCOMPARE(ack, (Bytes{0xFF, 0xCC, 0xA0, 0x01, 0x00, 0x00, 0x6C, 0x0D}));
        QCOMPARE(link.close(handle), ft::Ok);
    }
};

QTEST_GUILESS_MAIN(TestLibFtdiLink)
#include "tst_libftdilink.moc"
