#pragma once

// Helpers for the acquisition worker's tests: frame records, a scripted instrument link, a log of the
// worker's signals taken on the test thread, and a runner that owns the worker thread.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QObject>
#include <QSettings>
#include <QStringList>
#include <QThread>

#include "CommandProtocol.h"
#include "OneDeviceLink.h"
#include "ReceiverThread.h"
#include "WireFormat.h"

namespace receivertest {

using Bytes = std::vector<std::uint8_t>;

// The host's own spelling of the wire format (its bytes are checked in tests/protocol).
inline const Bytes kHeader{wire::syncPattern.begin(), wire::syncPattern.end()};
inline const Bytes kFrameRequest{CommandProtocol::frameRequest.begin(), CommandProtocol::frameRequest.end()};
inline const Bytes kStartCommand{CommandProtocol::start.begin(), CommandProtocol::start.end()};
inline const Bytes kStopCommand{CommandProtocol::stop.begin(), CommandProtocol::stop.end()};
constexpr int kPixels = wire::pixelCount;
constexpr int kRecordLength = static_cast<int>(wire::recordLength);

// Settings of every worker built by this test process go to a directory of the test's own.
inline void isolateSettings(const QString &directory) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, directory);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, directory);
}

// A save run as the session publishes it: `frames` frames into directory/name, files to be chosen; with no
// file chosen its values stay in the recorder.
inline ReceiverThread::SaveRun saveRun(int frames, const QString &directory = QString(),
                                       const QString &name = QString()) {
    ReceiverThread::SaveRun run;
    run.frames = frames;
    run.directory = directory;
    run.name = name;
    return run;
}

// A frame buffer as the worker holds it (8200 bytes, pixel codes in the first 8192) with code(i) per pixel.
inline std::vector<unsigned char> makeFrame(const std::function<int(int)> &code) {
    std::vector<unsigned char> frame(kRecordLength, 0);
    for (int i = 0; i < kPixels; ++i) {
        const int value = code(i);
        frame[2 * i] = static_cast<unsigned char>((value >> 8) & 0xFF);
        frame[2 * i + 1] = static_cast<unsigned char>(value & 0xFF);
    }
    return frame;
}

inline std::vector<unsigned char> uniformFrame(int code) {
    return makeFrame([code](int) { return code; });
}

// The instrument's 8200-byte answer to one frame request.
inline Bytes makeRecord(const std::function<int(int)> &code) {
    Bytes record = kHeader;
    const std::vector<unsigned char> frame = makeFrame(code);
    record.insert(record.end(), frame.begin(), frame.begin() + 2 * kPixels);
    record.push_back(0x00);
    record.push_back(0x0D);
    return record;
}

inline std::vector<Bytes> splitBytes(const Bytes &bytes, const std::vector<std::size_t> &sizes) {
    std::vector<Bytes> portions;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        const std::size_t end = std::min(bytes.size(), at + size);
        portions.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
    }
    if (at < bytes.size()) {
        portions.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    }
    return portions;
}

// An instrument on a scripted link: every frame request is answered with the portions the record source
// gives for it; one pending portion becomes readable per status call. Reads and status calls can be made
// to fail. A wait for received bytes ends as soon as a portion is pending.
class FakeInstrumentLink : public OneDeviceLink {
public:
    // Portions of the answer to request n (0, 1, 2, ...); an empty list leaves the request unanswered.
    using RecordSource = std::function<std::vector<Bytes>(int request)>;

    explicit FakeInstrumentLink(RecordSource source = {}) : m_source(std::move(source)) {
        if (!m_source) {
            m_source = [](int request) { return std::vector<Bytes>{makeRecord([request](int) { return request; })}; };
        }
    }

    const char *backendName() const override { return "fake"; }

    void setRecordSource(RecordSource source) {
        std::lock_guard lock(m_mutex);
        m_source = std::move(source);
    }
    // Stop answering frame requests (the worker then waits for a record that never comes).
    void setAnswering(bool answering) {
        std::lock_guard lock(m_mutex);
        m_answering = answering;
    }
    // Outcomes of the next reads, in order: true fails the read. Later reads succeed.
    void scriptReads(std::vector<bool> failures) {
        std::lock_guard lock(m_mutex);
        m_readScript.assign(failures.begin(), failures.end());
    }
    // Bytes made readable at the next status call, ahead of anything else pending.
    void queueNow(const Bytes &bytes) {
        std::lock_guard lock(m_mutex);
        m_pending.push_front(bytes);
        m_changed.notify_all();
    }
    // The next `count` status calls fail.
    void failStatusCalls(int count) {
        std::lock_guard lock(m_mutex);
        m_failingStatusCalls = count;
    }
    // The device goes away without anyone being told: from now on every status call, read and wait fails.
    void loseDevice() {
        std::lock_guard lock(m_mutex);
        m_lost = true;
        m_changed.notify_all();
    }
    int waits() const {
        std::lock_guard lock(m_mutex);
        return m_waits;
    }
    std::vector<Bytes> writes() const {
        std::lock_guard lock(m_mutex);
        return m_writes;
    }
    int count(const Bytes &command) const {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(std::count(m_writes.begin(), m_writes.end(), command));
    }
    int statusCalls() const {
        std::lock_guard lock(m_mutex);
        return m_statusCalls;
    }
    std::uint32_t largestReadAsked() const {
        std::lock_guard lock(m_mutex);
        return m_largestRead;
    }
    int failedReads() const {
        std::lock_guard lock(m_mutex);
        return m_failedReads;
    }

    ft::Status write(ft::Handle, const void *buffer, std::uint32_t bytesToWrite, std::uint32_t *bytesWritten) override {
        const auto *bytes = static_cast<const std::uint8_t *>(buffer);
        Bytes command(bytes, bytes + bytesToWrite);
        std::lock_guard lock(m_mutex);
        m_writes.push_back(command);
        *bytesWritten = bytesToWrite;
        if (command == kFrameRequest && m_answering) {
            for (Bytes &portion : m_source(m_requests)) {
                m_pending.push_back(std::move(portion));
            }
            ++m_requests;
            m_changed.notify_all();
        }
        return ft::Ok;
    }
    ft::Status getStatus(ft::Handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                         std::uint32_t *eventStatus) override {
        std::lock_guard lock(m_mutex);
        ++m_statusCalls;
        if (m_lost) {
            return ft::IoError;
        }
        if (m_failingStatusCalls > 0) {
            --m_failingStatusCalls;
            return ft::IoError;
        }
        if (!m_pending.empty()) {
            m_receive.insert(m_receive.end(), m_pending.front().begin(), m_pending.front().end());
            m_pending.pop_front();
        }
        *rxBytes = static_cast<std::uint32_t>(m_receive.size());
        *txBytes = 0;
        *eventStatus = 0;
        return ft::Ok;
    }
    ft::Status read(ft::Handle, void *buffer, std::uint32_t bytesToRead, std::uint32_t *bytesReturned) override {
        std::lock_guard lock(m_mutex);
        m_largestRead = std::max(m_largestRead, bytesToRead);
        if (m_lost) {
            ++m_failedReads;
            *bytesReturned = 0;
            return ft::IoError;
        }
        if (!m_readScript.empty()) {
            const bool fail = m_readScript.front();
            m_readScript.pop_front();
            if (fail) {
                ++m_failedReads;
                *bytesReturned = 0;
                return ft::IoError;
            }
        }
        const std::size_t count = std::min<std::size_t>(bytesToRead, m_receive.size());
        std::copy_n(m_receive.begin(), count, static_cast<std::uint8_t *>(buffer));
        m_receive.erase(m_receive.begin(), m_receive.begin() + static_cast<std::ptrdiff_t>(count));
        *bytesReturned = static_cast<std::uint32_t>(count);
        return ft::Ok;
    }

    ft::Status waitForReceived(ft::Handle, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(m_mutex);
        ++m_waits;
        m_changed.wait_for(lock, timeout, [this] { return m_lost || !m_pending.empty() || !m_receive.empty(); });
        return m_lost ? ft::IoError : ft::Ok;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_lost = false;
    int m_failingStatusCalls = 0;
    int m_waits = 0;
    RecordSource m_source;
    bool m_answering = true;
    int m_requests = 0;
    std::deque<Bytes> m_pending;
    std::deque<std::uint8_t> m_receive;
    std::deque<bool> m_readScript;
    std::vector<Bytes> m_writes;
    int m_statusCalls = 0;
    int m_failedReads = 0;
    std::uint32_t m_largestRead = 0;
};

// What the worker told the window, collected on the test thread through queued connections (the worker
// emits on its own thread).
class SignalLog : public QObject {
public:
    explicit SignalLog(ReceiverThread &worker) {
        connect(&worker, &ReceiverThread::sendImagetoMain, this, [this, &worker](const QImage &image) {
            worker.acquirePictures();
            images.push_back(image);
        });
        connect(&worker, &ReceiverThread::onCellclicked, this, [this](double current) { readings.push_back(current); });
        connect(&worker, &ReceiverThread::errorOccurred, this, [this](const QString &text) {
            errors.push_back(text);
            imagesBeforeError.push_back(images.size());
        });
        connect(&worker, &ReceiverThread::savemessage, this, [this](int index) { progress.push_back(index); });
        connect(&worker, &ReceiverThread::setMaxSuccess, this, [this] { events.push_back(QStringLiteral("max")); });
        connect(&worker, &ReceiverThread::setMinSuccess, this, [this] { events.push_back(QStringLiteral("min")); });
        connect(&worker, &ReceiverThread::saveFailed, this,
                [this](int, const QString &text) { saveFailures.push_back(text); });
        connect(&worker, &ReceiverThread::finished, this, [this] { ++finished; });
    }

    std::vector<QImage> images;
    std::vector<double> readings;
    QStringList errors;
    std::vector<std::size_t> imagesBeforeError;  // pictures received when each error came
    std::vector<int> progress;
    QStringList events;  // "max" / "min" in the order the captures completed
    QStringList saveFailures;
    int finished = 0;
};

// Owns the worker thread and drives the worker the way the window does.
class WorkerRunner {
public:
    explicit WorkerRunner(ReceiverThread &worker) : m_worker(worker) {
        m_worker.moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::started, &m_worker, &ReceiverThread::process);
    }
    ~WorkerRunner() {
        if (m_thread.isRunning()) {
            shutdown();
        }
    }

    void start() { m_thread.start(); }

    void attach(UsbFifoLink *link, ft::Handle handle) {
        m_link = link;
        m_handle = handle;
        m_worker.attachLink(link, handle);
    }

    // The capture start: wake the loop, start command, first request, then stream.
    void beginCapture() {
        m_worker.resume();
        writeCommand(CommandProtocol::start.data());
        writeCommand(CommandProtocol::frameRequest.data());
        m_worker.beginStreaming();
    }

    // The capture stop: the frame in progress completes and the stop command goes out.
    void stopCapture(std::chrono::milliseconds grace = std::chrono::milliseconds(5000)) {
        m_worker.pauseAfterFrame();
        m_worker.leaveStreaming(grace);
    }

    // The window's shutdown sequence; returns whether the thread ended.
    bool shutdown() {
        m_worker.requestShutdown();
        m_thread.quit();
        return m_thread.wait(10000);
    }

    QThread &thread() { return m_thread; }

private:
    void writeCommand(const unsigned char *command) {
        std::uint32_t written = 0;
        if (m_link != nullptr) {
            m_link->write(m_handle, command, 8, &written);
        }
    }

    ReceiverThread &m_worker;
    UsbFifoLink *m_link = nullptr;
    ft::Handle m_handle = nullptr;
    QThread m_thread;
};

}  // namespace receivertest
