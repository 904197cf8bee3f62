// Throughput of the acquisition worker against the unpaced simulated instrument, and the cost of the
// per-frame steps. Usage: vantiko_receiver_bench [seconds per run, default 3]

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include "FrameCutter.h"
#include "ReceiverThread.h"
#include "SimulatedLink.h"

namespace {

constexpr unsigned char kStart[8] = {0xFF, 0xAA, 0xA0, 0x03, 0x00, 0x00, 0x4C, 0x0D};
constexpr unsigned char kRequest[8] = {0xFF, 0xAA, 0xC0, 0x01, 0x00, 0x00, 0x6A, 0x0D};

void configure(ReceiverThread &worker) {
    worker.m_currentMode = true;
    worker.m_integralCurrent = 9.6;
    worker.m_integralTime = 7296 * 12.5;
    worker.m_currentRange = 100;
}

std::vector<unsigned char> sampleFrame() {
    std::vector<unsigned char> frame(8200, 0);
    for (int i = 0; i < 4096; ++i) {
        const int code = (i * 40503 + 7) & 0xFFFF;
        frame[2 * i] = static_cast<unsigned char>(code >> 8);
        frame[2 * i + 1] = static_cast<unsigned char>(code & 0xFF);
    }
    return frame;
}

// Frames per second of the whole loop (read, cut, convert, render, emit, next request).
double streamRate(double seconds, bool calibrated) {
    SimulatedLink link;
    link.instrument()->setPaced(false);
    ft::Handle handle = nullptr;
    link.openEx("VANTIKO", ft::OpenBySerialNumber, &handle);

    ReceiverThread worker;
    configure(worker);
    worker.m_calibrationOn = calibrated;
    std::atomic<long> frames{0};
    QObject::connect(
        &worker, &ReceiverThread::sendImagetoMain, &worker, [&frames] { ++frames; }, Qt::DirectConnection);
    QThread thread;
    worker.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &worker, &ReceiverThread::process);
    worker.m_link = &link;
    worker.m_handle = handle;
    thread.start();

    worker.resume();
    std::uint32_t written = 0;
    link.write(handle, kStart, 8, &written);
    link.write(handle, kRequest, 8, &written);
    worker.m_stopAfterFrame = false;
    worker.m_capturing = true;

    QThread::msleep(200);  // warm-up
    const long first = frames.load();
    QElapsedTimer timer;
    timer.start();
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    const long counted = frames.load() - first;
    const double elapsed = timer.nsecsElapsed() / 1e9;

    worker.requestShutdown();
    thread.quit();
    thread.wait();
    link.close(handle);
    return counted / elapsed;
}

template <typename Step>
double microsecondsPerCall(int calls, Step step) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i) {
        step();
    }
    return timer.nsecsElapsed() / 1e3 / calls;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("vantiko.*.debug=false"));
    const double seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toDouble() : 3.0;
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());

    std::printf("Acquisition loop, unpaced simulator, %.1f s per run\n", seconds);
    std::printf("  plain rendering:      %8.1f frames/s\n", streamRate(seconds, false));
    std::printf("  calibrated rendering: %8.1f frames/s\n", streamRate(seconds, true));

    ReceiverThread worker;
    configure(worker);
    const std::vector<unsigned char> frame = sampleFrame();
    volatile double sink = 0;
    std::printf("Per-frame steps (mean)\n");
    std::printf("  codeToCurrent x 4096: %8.1f us\n", microsecondsPerCall(200, [&] {
                    for (int code = 0; code < 4096; ++code) {
                        sink = sink + worker.codeToCurrent(code * 16);
                    }
                }));
    std::printf("  renderFrame, plain:   %8.1f us\n", microsecondsPerCall(500, [&] { worker.renderFrame(frame); }));
    worker.m_calibrationOn = true;
    std::printf("  renderFrame, calibrated: %5.1f us\n", microsecondsPerCall(500, [&] { worker.renderFrame(frame); }));
    // Nine steps take samples; every tenth also reduces 4096 x 10 values to the reference.
    std::printf("  calibration step:     %8.1f us\n", microsecondsPerCall(500, [&] { worker.setMax(frame); }));
    std::vector<unsigned char> stream;
    stream.reserve(16400);
    std::vector<unsigned char> cut(8200);
    const std::vector<unsigned char> sync{0xFF, 0xCC, 0xC0, 0x01, 0x20, 0x00};
    std::vector<unsigned char> record(8200, 0);
    std::copy(sync.begin(), sync.end(), record.begin());
    std::copy_n(frame.begin(), 8192, record.begin() + 6);
    std::printf("  cutFrame:             %8.1f us\n", microsecondsPerCall(5000, [&] {
                    stream.assign(record.begin(), record.end());
                    FrameCutter::cut(stream, sync, cut);
                }));
    (void)sink;
    return 0;
}
