// The real worker on its own thread against the simulated instrument, end to end: frames per second, CPU
// time, and the delay from a record's last byte becoming readable to the picture's signal.

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <vector>

#include <QEventLoop>
#include <QImage>
#include <QThread>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <time.h>

#include "BenchSupport.h"
#include "SimulatedLink.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs the calling (main) thread's event loop for a while, so the queued signals reach their receivers
// there as they reach the window.
void serveEvents(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// Pairs every record the instrument schedules with the picture signal that follows it: one request, one
// record, one picture, in order.
class LatencyProbe {
public:
    void recordReady(Clock::time_point lastByte) {
        std::lock_guard lock(m_mutex);
        m_ready.push_back(lastByte);
    }
    void pictureSignalled() {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(m_mutex);
        if (m_ready.empty()) {
            ++m_unmatched;
            return;
        }
        const Clock::time_point lastByte = m_ready.front();
        m_ready.pop_front();
        if (m_measuring) {
            ++m_frames;
            m_latencies.push_back(std::chrono::duration<double, std::micro>(now - lastByte).count());
        }
    }
    void measure(bool on) {
        std::lock_guard lock(m_mutex);
        m_measuring = on;
        if (on) {
            m_frames = 0;
            m_latencies.clear();
            m_latencies.reserve(1 << 16);
        }
    }
    std::vector<double> latencies() const {
        std::lock_guard lock(m_mutex);
        return m_latencies;
    }
    long frames() const {
        std::lock_guard lock(m_mutex);
        return m_frames;
    }
    long unmatched() const {
        std::lock_guard lock(m_mutex);
        return m_unmatched;
    }

private:
    mutable std::mutex m_mutex;
    std::deque<Clock::time_point> m_ready;
    std::vector<double> m_latencies;
    long m_frames = 0;
    long m_unmatched = 0;
    bool m_measuring = false;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0.0;
    }
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
    return values[rank];
}

struct StreamFigures {
    double seconds = 0;
    long frames = 0;
    double cpuSeconds = 0;
    std::vector<double> latencies;
    long unmatched = 0;
};

StreamFigures stream(bool paced, bool calibrated, std::chrono::milliseconds duration) {
    SimulatedLink link;
    const std::shared_ptr<SimulatedInstrument> instrument = link.instrument();
    instrument->setPaced(paced);
    ft::Handle handle = nullptr;
    link.openEx("VANTIKO", ft::OpenBySerialNumber, &handle);

    LatencyProbe probe;
    instrument->setRecordReadyHook([&probe](Clock::time_point lastByte) { probe.recordReady(lastByte); });
    QObject window;  // stands in for the window: receives the queued signals on this thread

    ReceiverThread worker;
    configure(worker);
    worker.m_calibrationOn = calibrated;
    QObject::connect(
        &worker, &ReceiverThread::sendImagetoMain, &worker, [&probe] { probe.pictureSignalled(); },
        Qt::DirectConnection);
    QObject::connect(&worker, &ReceiverThread::sendImagetoMain, &window, [](const QImage &) {});
    QObject::connect(&worker, &ReceiverThread::onCellclicked, &window, [](double) {});
    QThread thread;
    worker.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &worker, &ReceiverThread::process);
    worker.attachLink(&link, handle);
    thread.start();

    worker.resume();
    std::uint32_t written = 0;
    link.write(handle, CommandProtocol::start.data(), CommandProtocol::start.size(), &written);
    link.write(handle, CommandProtocol::frameRequest.data(), CommandProtocol::frameRequest.size(), &written);
    worker.beginStreaming();

    serveEvents(std::chrono::milliseconds(300));  // warm-up: caches, the table, the first frames
    probe.measure(true);
    const double cpuBefore = processCpuSeconds();
    const Clock::time_point start = Clock::now();
    serveEvents(duration);
    StreamFigures figures;
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.cpuSeconds = processCpuSeconds() - cpuBefore;
    probe.measure(false);
    figures.frames = probe.frames();
    figures.latencies = probe.latencies();
    figures.unmatched = probe.unmatched();

    worker.requestShutdown();
    thread.quit();
    thread.wait();
    instrument->setRecordReadyHook({});
    link.close(handle);
    return figures;
}

void endToEnd(benchmark::State &state, bool paced, bool calibrated, int milliseconds) {
    StreamFigures figures;
    for (auto _ : state) {
        figures = stream(paced, calibrated, std::chrono::milliseconds(milliseconds));
        state.SetIterationTime(figures.seconds);
    }
    if (figures.frames == 0 || figures.unmatched != 0) {
        state.SkipWithError("no frames, or pictures without a record");
        return;
    }
    const double frames = static_cast<double>(figures.frames);
    state.counters["fps"] = frames / figures.seconds;
    state.counters["cpu_us_per_frame"] = figures.cpuSeconds / frames * 1e6;
    state.counters["cpu_share_pct"] = figures.cpuSeconds / figures.seconds * 100.0;
    state.counters["latency_p50_us"] = percentile(figures.latencies, 0.50);
    state.counters["latency_p99_us"] = percentile(figures.latencies, 0.99);
}

// The simulated instrument's own share of an end-to-end frame: it makes each record (scene, noise, codes)
// on the thread that writes the request, which is the worker's.
void simulatedRecord(benchmark::State &state) {
    SimulatedInstrument instrument;
    instrument.setPaced(false);
    instrument.receiveFromHost(CommandProtocol::start.data(), CommandProtocol::start.size());
    std::vector<unsigned char> record(wire::recordLength);
    for (auto _ : state) {
        instrument.receiveFromHost(CommandProtocol::frameRequest.data(), CommandProtocol::frameRequest.size());
        benchmark::DoNotOptimize(instrument.takeBytes(record.data(), record.size()));
    }
}

int streamMilliseconds(const char *variable, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(variable, &ok);
    return ok && value > 0 ? value : fallback;
}

}  // namespace

void registerStreamBenchmarks() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("simulator/record", simulatedRecord)->Unit(benchmark::kMicrosecond)->UseRealTime();
    // VANTIKO_BENCH_STREAM_MS sets the measured time of each run (default 3 s unpaced, 6 s paced).
    const int unpaced = streamMilliseconds("VANTIKO_BENCH_STREAM_MS", 3000);
    const int paced = streamMilliseconds("VANTIKO_BENCH_STREAM_MS", 6000);
    for (auto [name, isPaced, calibrated, milliseconds] :
         {std::tuple{"stream/unpaced", false, false, unpaced},
          std::tuple{"stream/unpaced_calibrated", false, true, unpaced},
          std::tuple{"stream/paced_77fps", true, false, paced}}) {
        RegisterBenchmark(name, endToEnd, isPaced, calibrated, milliseconds)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
    }
}

}  // namespace bench
