// The vendor-library backend, loaded at run time from a stand-in D2XX library that runs the simulated
// instrument: loading and its diagnostics, the default choice of backend, the device list, open by serial
// number, the configuration sequence, the handshake, a frame, closing while another thread reads, and the
// main window connecting, setting and capturing through the library.
//
// The stand-in's instrument lives as long as the process, so every test leaves it plugged in and closed.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QLibrary>
#include <QRegularExpression>
#include <QTest>

#include "D2xxLibraryLink.h"
#include "LinkChoice.h"
#include "LinkFactory.h"
#include "UnavailableLink.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kHandshake{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4A, 0x0D};
const Bytes kHandshakeAck{0xFF, 0xCC, 0xA0, 0x01, 0x00, 0x00, 0x6C, 0x0D};
const Bytes kStart{0xFF, 0xAA, 0xA0, 0x03, 0x00, 0x00, 0x4C, 0x0D};
const Bytes kStop{0xFF, 0xAA, 0xA0, 0x02, 0x00, 0x00, 0x4B, 0x0D};
const Bytes kFrameRequest{0xFF, 0xAA, 0xC0, 0x01, 0x00, 0x00, 0x6A, 0x0D};
const Bytes kRecordHeader{0xFF, 0xCC, 0xC0, 0x01, 0x20, 0x00};
constexpr std::uint32_t kRecordSize = 8200;

// Sets an environment variable for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const QByteArray &value)
        : m_name(name), m_hadValue(qEnvironmentVariableIsSet(name)), m_previous(qgetenv(name)) {
        qputenv(m_name, value);
    }
    ~ScopedEnvironment() {
        if (m_hadValue) {
            qputenv(m_name, m_previous);
        } else {
            qunsetenv(m_name);
        }
    }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    const char *m_name;
    bool m_hadValue;
    QByteArray m_previous;
};

// The vendor library as the user names it in the environment, chosen by name.
LinkChoice vendorChoice() {
    LinkChoice choice = LinkChoice::fromEnvironment();
    choice.backend = QStringLiteral("d2xx");
    return choice;
}

// No backend named (the tests run with VANTIKO_LINK=simulator): the vendor library if it loads, else libftdi1.
LinkChoice defaultChoice() {
    const ScopedEnvironment unnamed("VANTIKO_LINK", QByteArray());
    return LinkChoice::fromEnvironment();
}

// Applies a simulator control line ("unplug", "plug", ...) to the stand-in's instrument.
bool controlStandIn(const char *line) {
    using Control = int (*)(const char *);
    const auto control =
        reinterpret_cast<Control>(QLibrary::resolve(QStringLiteral(D2XX_STUB_LIBRARY), "D2xxStub_Control"));
    return control && control(line) == 1;
}

bool writeAll(UsbFifoLink &link, ft::Handle handle, const Bytes &bytes) {
    std::uint32_t written = 0;
    return link.write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written) == ft::Ok &&
           written == bytes.size();
}

// Polls the receive queue and reads what it holds, as the window and the worker do, until `size` bytes
// came or the time is up.
Bytes receive(UsbFifoLink &link, ft::Handle handle, std::size_t size, int timeoutMs) {
    Bytes received;
    QElapsedTimer timer;
    timer.start();
    while (received.size() < size && timer.elapsed() < timeoutMs) {
        std::uint32_t rx = 0;
        std::uint32_t tx = 0;
        std::uint32_t event = 0;
        if (link.getStatus(handle, &rx, &tx, &event) != ft::Ok) {
            break;
        }
        if (rx == 0) {
            continue;
        }
        Bytes chunk(rx);
        std::uint32_t got = 0;
        if (link.read(handle, chunk.data(), rx, &got) != ft::Ok) {
            break;
        }
        received.insert(received.end(), chunk.begin(), chunk.begin() + got);
    }
    return received;
}

}  // namespace

class TestD2xxLink : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ScopedEnvironment> m_library;
    std::unique_ptr<D2xxLibraryLink> m_link;
    ft::Handle m_handle = nullptr;

    // Opens the instrument and configures it as the window does after a successful open.
    void openAndConfigure() {
        QVERIFY(m_link);
        QCOMPARE(m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &m_handle), ft::Ok);
        QCOMPARE(m_link->resetDevice(m_handle), ft::Ok);
        QCOMPARE(m_link->purge(m_handle, ft::PurgeRx | ft::PurgeTx), ft::Ok);
        QCOMPARE(m_link->setBitMode(m_handle, 0x00, ft::BitModeSyncFifo), ft::Ok);
        QCOMPARE(m_link->setUsbParameters(m_handle, 65536, 65536), ft::Ok);
        QCOMPARE(m_link->setFlowControl(m_handle, ft::FlowRtsCts, 0, 0), ft::Ok);
        QCOMPARE(m_link->setTimeouts(m_handle, 2000, 1000), ft::Ok);
    }

private slots:
    void init() {
        // Named the way a user does; the backend choice reads it.
        m_library = std::make_unique<ScopedEnvironment>("VANTIKO_D2XX_LIBRARY", QByteArray(D2XX_STUB_LIBRARY));
        QString diagnostic;
        m_link = D2xxLibraryLink::load(LinkChoice::fromEnvironment().d2xxLibrary, &diagnostic);
        QVERIFY2(m_link, qPrintable(diagnostic));
        QVERIFY(diagnostic.isEmpty());
    }

    void cleanup() {
        if (m_link && m_handle) {
            m_link->close(m_handle);
        }
        m_handle = nullptr;
        m_link.reset();
        controlStandIn("plug");
        m_library.reset();
    }

    // --- Loading ------------------------------------------------------------------------------------------

    void theNamedLibraryIsTheOnlyCandidate() {
        QCOMPARE(LinkChoice::fromEnvironment().d2xxLibrary, QStringLiteral(D2XX_STUB_LIBRARY));
        QCOMPARE(D2xxLibraryLink::candidateLibraryNames(LinkChoice::fromEnvironment().d2xxLibrary),
                 QStringList{QStringLiteral(D2XX_STUB_LIBRARY)});
        QCOMPARE(m_link->libraryFileName(), QStringLiteral(D2XX_STUB_LIBRARY));
        QCOMPARE(m_link->backendName(), "d2xx");
        const ScopedEnvironment unset("VANTIKO_D2XX_LIBRARY", QByteArray());
        const QString unnamed = LinkChoice::fromEnvironment().d2xxLibrary;
        QVERIFY(unnamed.isEmpty());
#if defined(Q_OS_WIN)
        QCOMPARE(D2xxLibraryLink::candidateLibraryNames(unnamed), (QStringList{"ftd2xx.dll", "ftd2xx64.dll"}));
#elif defined(Q_OS_MACOS)
        QCOMPARE(D2xxLibraryLink::candidateLibraryNames(unnamed).value(0), QStringLiteral("libftd2xx.dylib"));
#else
        QCOMPARE(D2xxLibraryLink::candidateLibraryNames(unnamed), (QStringList{"libftd2xx.so", "ftd2xx"}));
#endif
    }

    void aMissingLibraryGivesAnUnavailableLinkNamingIt() {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString absent = directory.filePath(QStringLiteral("libftd2xx.so"));
        const ScopedEnvironment named("VANTIKO_D2XX_LIBRARY", absent.toUtf8());

        QString diagnostic;
        QVERIFY(!D2xxLibraryLink::load(absent, &diagnostic));
        QVERIFY2(diagnostic.contains(absent), qPrintable(diagnostic));

        QString factoryDiagnostic;
        const std::unique_ptr<UsbFifoLink> link = LinkFactory::create(vendorChoice(), &factoryDiagnostic);
        QCOMPARE(link->backendName(), "unavailable");
        QCOMPARE(factoryDiagnostic, diagnostic);
        QCOMPARE(QString::fromStdString(static_cast<UnavailableLink *>(link.get())->reason()), diagnostic);
        std::uint32_t count = 5;
        QVERIFY(link->createDeviceInfoList(&count) != ft::Ok);
        ft::Handle handle = nullptr;
        QVERIFY(link->openEx("VANTIKO", ft::OpenBySerialNumber, &handle) != ft::Ok);
    }

    void aMissingFunctionGivesAnUnavailableLinkNamingIt() {
        const ScopedEnvironment named("VANTIKO_D2XX_LIBRARY", QByteArray(D2XX_STUB_INCOMPLETE_LIBRARY));
        QString diagnostic;
        QVERIFY(!D2xxLibraryLink::load(QStringLiteral(D2XX_STUB_INCOMPLETE_LIBRARY), &diagnostic));
        QVERIFY2(diagnostic.contains(QStringLiteral("FT_SetTimeouts")), qPrintable(diagnostic));
        QVERIFY2(diagnostic.contains(QStringLiteral("ftd2xx_stub_incomplete")), qPrintable(diagnostic));
        // The one function missing is the only one named.
        QVERIFY2(!diagnostic.contains(QStringLiteral("FT_Read")), qPrintable(diagnostic));

        QString factoryDiagnostic;
        const std::unique_ptr<UsbFifoLink> link = LinkFactory::create(vendorChoice(), &factoryDiagnostic);
        QCOMPARE(link->backendName(), "unavailable");
        QCOMPARE(factoryDiagnostic, diagnostic);
    }

    void theDefaultIsTheVendorLibraryWhenItLoads() {
        QString diagnostic;
        const std::unique_ptr<UsbFifoLink> link = LinkFactory::create(defaultChoice(), &diagnostic);
        QCOMPARE(link->backendName(), "d2xx");
        QVERIFY(diagnostic.isEmpty());
    }

    void theDefaultFallsBackToLibFtdi() {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const ScopedEnvironment named("VANTIKO_D2XX_LIBRARY",
                                      directory.filePath(QStringLiteral("libftd2xx.so")).toUtf8());
        QString diagnostic;
        const std::unique_ptr<UsbFifoLink> link = LinkFactory::create(defaultChoice(), &diagnostic);
        QCOMPARE(link->backendName(), "libftdi");
        QVERIFY2(diagnostic.isEmpty(), "falling back is not a failure");
    }

    void backendNamesAreChosenByTheEnvironmentValue_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("backend");
        QTest::newRow("simulator") << "simulator"
                                   << "simulator";
        QTest::newRow("libftdi") << "libftdi"
                                 << "libftdi";
        QTest::newRow("d2xx, any case and blanks") << " D2XX "
                                                   << "d2xx";
        QTest::newRow("unknown") << "serial"
                                 << "unavailable";
    }
    void backendNamesAreChosenByTheEnvironmentValue() {
        QFETCH(QString, value);
        QFETCH(QString, backend);
        const ScopedEnvironment chosen("VANTIKO_LINK", value.toUtf8());
        QString diagnostic;
        const std::unique_ptr<UsbFifoLink> link = LinkFactory::create(LinkChoice::fromEnvironment(), &diagnostic);
        QCOMPARE(QString::fromLatin1(link->backendName()), backend);
        QCOMPARE(diagnostic.isEmpty(), backend != QLatin1String("unavailable"));
    }

    // --- The device ---------------------------------------------------------------------------------------

    void theDeviceListNamesTheInstrument() {
        std::uint32_t count = 0;
        QCOMPARE(m_link->createDeviceInfoList(&count), ft::Ok);
        QCOMPARE(count, 1u);
        std::vector<DeviceInfo> list;
        QCOMPARE(m_link->getDeviceInfoList(list, &count), ft::Ok);
        QCOMPARE(count, 1u);
        QCOMPARE(list.size(), std::size_t{1});
        QCOMPARE(list[0].serialNumber, std::string("VANTIKO"));
        QCOMPARE(list[0].id, 0x04036014u);

        // A pulled instrument leaves the list.
        QVERIFY(controlStandIn("unplug"));
        QCOMPARE(m_link->createDeviceInfoList(&count), ft::Ok);
        QCOMPARE(count, 0u);
        QCOMPARE(m_link->getDeviceInfoList(list, &count), ft::Ok);
        QVERIFY(list.empty());
    }

    void onlyTheInstrumentsSerialNumberOpensIt() {
        int marker = 0;
        const ft::Handle sentinel = &marker;
        ft::Handle handle = sentinel;
        QCOMPARE(m_link->openEx("OTHER", ft::OpenBySerialNumber, &handle), ft::DeviceNotFound);
        QCOMPARE(m_link->openEx("", ft::OpenBySerialNumber, &handle), ft::DeviceNotFound);
        QCOMPARE(handle, sentinel);
        QCOMPARE(m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &m_handle), ft::Ok);
        // Held already: a second open, like the presence probe while connected, is refused.
        QCOMPARE(m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &handle), ft::DeviceNotOpened);
        QCOMPARE(handle, sentinel);
    }

    void handshakeAndOneFrame() {
        openAndConfigure();
        QVERIFY(writeAll(*m_link, m_handle, kHandshake));
        QCOMPARE(receive(*m_link, m_handle, kHandshakeAck.size(), 1000), kHandshakeAck);

        QVERIFY(writeAll(*m_link, m_handle, kStart));
        QVERIFY(writeAll(*m_link, m_handle, kFrameRequest));
        const Bytes record = receive(*m_link, m_handle, kRecordSize, 3000);
        QCOMPARE(record.size(), std::size_t{kRecordSize});
        QCOMPARE(Bytes(record.begin(), record.begin() + 6), kRecordHeader);
        QVERIFY(writeAll(*m_link, m_handle, kStop));

        QCOMPARE(m_link->close(m_handle), ft::Ok);
        // The closed handle is refused by the link itself, every time.
        std::uint32_t rx = 0;
        QCOMPARE(m_link->getStatus(m_handle, &rx, nullptr, nullptr), ft::InvalidHandle);
        QCOMPARE(m_link->close(m_handle), ft::InvalidHandle);
        m_handle = nullptr;
    }

    void aPulledInstrumentFailsStatusAndRead() {
        openAndConfigure();
        QVERIFY(controlStandIn("unplug"));
        // The library's failure comes through, and a failed status call leaves the caller's count alone.
        std::uint32_t rx = 42;
        const ft::Status status = m_link->getStatus(m_handle, &rx, nullptr, nullptr);
        QCOMPARE(status, ft::IoError);
        QCOMPARE(rx, 42u);
        Bytes buffer(16);
        std::uint32_t got = 9;
        QCOMPARE(m_link->read(m_handle, buffer.data(), 16, &got), ft::IoError);
        QCOMPARE(got, 0u);
        std::uint32_t written = 0;
        QCOMPARE(m_link->write(m_handle, kFrameRequest.data(), 8, &written), ft::IoError);
    }

    // --- Waiting for received bytes ----------------------------------------------------------------------

    void waitsLastUntilBytesArrive_data() {
        QTest::addColumn<QByteArray>("library");
        QTest::addColumn<bool>("signalsArrivals");
        QTest::newRow("the library's event") << QByteArray(D2XX_STUB_LIBRARY) << true;
        QTest::newRow("polling, without FT_SetEventNotification")
            << QByteArray(D2XX_STUB_WITHOUT_EVENTS_LIBRARY) << false;
    }

    void waitsLastUntilBytesArrive() {
        QFETCH(QByteArray, library);
        QFETCH(bool, signalsArrivals);
        if (!signalsArrivals) {
            // Said once, when the library is loaded.
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("lacks FT_SetEventNotification")));
        }
        m_link = D2xxLibraryLink::load(QString::fromUtf8(library));
        QVERIFY(m_link);
        QCOMPARE(m_link->signalsArrivals(), signalsArrivals);
        // An event the library refused would quietly turn waits into polling.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("FT_SetEventNotification failed")));
        openAndConfigure();
        using namespace std::chrono_literals;

        // Nothing is coming: the wait lasts its timeout.
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(m_link->waitForReceived(m_handle, 150ms), ft::Ok);
        QVERIFY2(timer.elapsed() >= 100, qPrintable(QString::number(timer.elapsed())));

        // An acknowledgement that arrives during a long wait ends it.
        std::thread sender([this] {
            std::this_thread::sleep_for(100ms);
            writeAll(*m_link, m_handle, kHandshake);
        });
        timer.restart();
        const ft::Status woken = m_link->waitForReceived(m_handle, 4000ms);
        const qint64 waited = timer.elapsed();
        sender.join();
        QCOMPARE(woken, ft::Ok);
        QVERIFY2(waited < 3000, qPrintable(QStringLiteral("woken after %1 ms").arg(waited)));
        // Bytes already queued end a wait at once.
        timer.restart();
        QCOMPARE(m_link->waitForReceived(m_handle, 4000ms), ft::Ok);
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(receive(*m_link, m_handle, kHandshakeAck.size(), 1000), kHandshakeAck);

        // A close from another thread ends a wait in progress, which then reports the handle closed.
        std::atomic<ft::Status> waitStatus{ft::OtherError};
        std::atomic<bool> started{false};
        std::thread waiter([&] {
            started = true;
            waitStatus = m_link->waitForReceived(m_handle, 8000ms);
        });
        QTRY_VERIFY(started);
        std::this_thread::sleep_for(100ms);
        timer.restart();
        QCOMPARE(m_link->close(m_handle), ft::Ok);
        waiter.join();
        m_handle = nullptr;
        QCOMPARE(waitStatus.load(), ft::InvalidHandle);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    }

    void aWaitOnAPulledInstrumentFails() {
        openAndConfigure();
        QVERIFY(controlStandIn("unplug"));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(m_link->waitForReceived(m_handle, std::chrono::milliseconds(4000)), ft::IoError);
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    }

    void closeWaitsForAReadInProgress() {
        openAndConfigure();
        QCOMPARE(m_link->setTimeouts(m_handle, 300, 1000), ft::Ok);
        std::atomic<ft::Status> readStatus{ft::OtherError};
        std::atomic<bool> started{false};
        std::thread reader([&] {
            Bytes buffer(kRecordSize);
            std::uint32_t got = 0;
            started = true;
            // Nothing was asked for, so this waits out its timeout.
            readStatus = m_link->read(m_handle, buffer.data(), kRecordSize, &got);
        });
        QTRY_VERIFY(started);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(m_link->close(m_handle), ft::Ok);
        const qint64 closeTook = timer.elapsed();
        reader.join();
        m_handle = nullptr;
        // The read ran to its end before the library's handle was closed under it.
        QCOMPARE(readStatus.load(), ft::Ok);
        QVERIFY2(closeTook >= 150, qPrintable(QStringLiteral("close took %1 ms").arg(closeTook)));
    }
};

QTEST_MAIN(TestD2xxLink)
#include "tst_d2xxlink.moc"
