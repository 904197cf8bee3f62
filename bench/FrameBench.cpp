// The worker's per-frame steps one by one: cut, conversion, rendering, recording, calibration.

#include <climits>
#include <random>
#include <vector>

#include <QImage>
#include <QObject>
#include <QThread>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "CalibrationReducer.h"
#include "ConversionTable.h"
#include "FrameCutter.h"
#include "PixelConversion.h"

namespace bench {
namespace {

const std::vector<unsigned char> kSync(wire::syncPattern.begin(), wire::syncPattern.end());

PixelConversion streamingConversion() {
    return PixelConversion(true, 7296 * 12.5, 9.6, 100);
}

void cut(benchmark::State &state) {
    const std::vector<unsigned char> record = sceneRecord();
    std::vector<unsigned char> stream;
    stream.reserve(2 * wire::recordLength);
    std::vector<unsigned char> frame(wire::recordLength);
    for (auto _ : state) {
        // The cut empties the stream, so each pass refills it (an 8200-byte copy, as the read does).
        stream.assign(record.begin(), record.end());
        benchmark::DoNotOptimize(FrameCutter::cut(stream, kSync, frame));
    }
}

void convertFormula(benchmark::State &state) {
    const std::vector<unsigned char> frame = sceneFrame();
    const PixelConversion conversion = streamingConversion();
    for (auto _ : state) {
        double sum = 0;
        for (int pixel = 0; pixel < wire::pixelCount; ++pixel) {
            sum += conversion.current(PixelConversion::codeAt(frame.data(), pixel));
        }
        benchmark::DoNotOptimize(sum);
    }
}

void convertTable(benchmark::State &state) {
    const std::vector<unsigned char> frame = sceneFrame();
    const ConversionTable table(streamingConversion());
    for (auto _ : state) {
        double sum = 0;
        for (int pixel = 0; pixel < wire::pixelCount; ++pixel) {
            sum += table.current(PixelConversion::codeAt(frame.data(), pixel));
        }
        benchmark::DoNotOptimize(sum);
    }
}

void rebuildTable(benchmark::State &state) {
    // Alternating polarity forces a rebuild every time, as a changed setting does once.
    const PixelConversion settings[2] = {streamingConversion(), PixelConversion(false, 7296 * 12.5, 9.6, 100)};
    ConversionTable table;
    int next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.update(settings[next]));
        next ^= 1;
    }
}

void render(benchmark::State &state, bool calibrated, bool recording) {
    ReceiverThread worker;
    configure(worker);
    worker.m_calibrationOn = calibrated;
    const std::vector<unsigned char> frame = sceneFrame();
    ReceiverThread::SaveRun run;
    run.frames = 1000;  // data off: the recording keeps the values but writes no file
    for (auto _ : state) {
        if (recording && !worker.recorder().recording()) {
            state.PauseTiming();
            worker.startSaveRun(run);
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(worker.renderFrame(frame));
    }
}

// Receives the worker's signals on a thread of its own, as the window's thread does, so an emit costs
// what it costs in the program (a queued event).
class SignalSink {
public:
    explicit SignalSink(ReceiverThread &worker) {
        m_context.moveToThread(&m_thread);
        QObject::connect(&worker, &ReceiverThread::sendImagetoMain, &m_context, [](const QImage &) {});
        QObject::connect(&worker, &ReceiverThread::onCellclicked, &m_context, [](double) {});
        m_thread.start();
    }
    ~SignalSink() {
        m_thread.quit();
        m_thread.wait();
    }

private:
    QThread m_thread;
    QObject m_context;
};

// What the loop does for every frame besides reading: cut, the selected pixel's current, the picture, the
// two signals. Calibration captures and saves are extra and measured on their own.
void perFrameHostWork(benchmark::State &state) {
    ReceiverThread worker;
    configure(worker);
    const ConversionTable table(streamingConversion());
    const std::vector<unsigned char> record = sceneRecord();
    std::vector<unsigned char> stream;
    stream.reserve(2 * wire::recordLength);
    std::vector<unsigned char> frame(wire::recordLength);
    const int selected = 64 * 32 + 32;
    SignalSink sink(worker);
    for (auto _ : state) {
        stream.assign(record.begin(), record.end());
        FrameCutter::cut(stream, kSync, frame);
        emit worker.onCellclicked(table.current(PixelConversion::codeAt(frame.data(), selected)));
        const QImage image = worker.renderFrame(frame);
        emit worker.sendImagetoMain(image);
    }
}

// The two queued signals of a frame on their own: the part of the per-frame work that is Qt's delivery.
void frameSignals(benchmark::State &state) {
    ReceiverThread worker;
    configure(worker);
    const QImage image = worker.renderFrame(sceneFrame());
    SignalSink sink(worker);
    for (auto _ : state) {
        emit worker.onCellclicked(75.0);
        emit worker.sendImagetoMain(image);
    }
}

void calibrationStep(benchmark::State &state) {
    ReceiverThread worker;
    configure(worker);
    const std::vector<unsigned char> frame = sceneFrame();
    for (auto _ : state) {
        worker.setMax(frame);
        // Start over before the tenth frame: the reduction is measured on its own.
        if (worker.calibration().framesTaken() == CalibrationReducer::framesPerCapture - 1) {
            worker.calibration().abandon();
        }
    }
}

void calibrationReduction(benchmark::State &state) {
    std::mt19937 generator(7);
    std::normal_distribution<double> current(50.0, 5.0);
    std::vector<double> samples(static_cast<std::size_t>(CalibrationReducer::framesPerCapture) * wire::pixelCount);
    for (double &sample : samples) {
        sample = current(generator);
    }
    std::vector<double> reference;
    for (auto _ : state) {
        CalibrationReducer::reduce(samples, wire::pixelCount, reference);
        benchmark::DoNotOptimize(reference.data());
    }
}

}  // namespace

void registerFrameBenchmarks() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("cut", cut)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("convert/formula", convertFormula)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("convert/table", convertTable)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("convert/table_rebuild", rebuildTable)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("render/plain", render, false, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("render/calibrated", render, true, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("render/plain_recording", render, false, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("render/calibrated_recording", render, true, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("per_frame_host_work", perFrameHostWork)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("per_frame_signals", frameSignals)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("calibration/step", calibrationStep)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("calibration/reduction", calibrationReduction)->Unit(benchmark::kMicrosecond)->UseRealTime();
}

}  // namespace bench
