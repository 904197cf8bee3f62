// What a save run writes: the frame CSV files, the pictures and the video frames.

#include <climits>
#include <vector>

#include <QDateTime>
#include <QImage>
#include <QStringList>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <opencv2/videoio.hpp>

#include "BenchSupport.h"
#include "CsvExport.h"
#include "MediaSaver.h"
#include "PixelConversion.h"

namespace bench {
namespace {

constexpr int kSavedFrames = 1000;

struct RecordedRun {
    std::vector<std::vector<double>> currents;
    std::vector<std::vector<double>> grays;
    QStringList timestamps;
};

// A thousand frames of the simulated scene, converted as the worker records them (noise differs per frame,
// so the numbers have the digits real currents have).
const RecordedRun &recordedRun() {
    static const RecordedRun run = [] {
        RecordedRun made;
        SimulatedInstrument instrument;
        instrument.setPaced(false);
        instrument.receiveFromHost(CommandProtocol::start.data(), CommandProtocol::start.size());
        const PixelConversion conversion(true, 7296 * 12.5, 9.6, 100);
        std::vector<unsigned char> record(wire::recordLength);
        const QDateTime start = QDateTime::currentDateTime();
        for (int frame = 0; frame < kSavedFrames; ++frame) {
            instrument.receiveFromHost(CommandProtocol::frameRequest.data(), CommandProtocol::frameRequest.size());
            instrument.takeBytes(record.data(), record.size());
            std::vector<double> currents(wire::pixelCount);
            std::vector<double> grays(wire::pixelCount);
            for (int pixel = 0; pixel < wire::pixelCount; ++pixel) {
                currents[pixel] =
                    conversion.current(PixelConversion::codeAt(record.data() + wire::syncPattern.size(), pixel));
                grays[pixel] = PixelConversion::grayLevel(conversion.plainScale(currents[pixel]));
            }
            made.currents.push_back(std::move(currents));
            made.grays.push_back(std::move(grays));
            made.timestamps.append(start.addMSecs(13 * frame).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz")));
        }
        return made;
    }();
    return run;
}

void csvFile(benchmark::State &state, bool currents) {
    const RecordedRun &run = recordedRun();
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("run.csv"));
    for (auto _ : state) {
        CsvExport::writeFrames(path, currents ? run.currents : run.grays, run.timestamps);
    }
}

QImage scenePicture() {
    const std::vector<unsigned char> frame = sceneFrame();
    ReceiverThread worker;
    configure(worker);
    return worker.renderFrame(frame);
}

void mediaFrame(benchmark::State &state, bool video) {
    QTemporaryDir directory;
    const QImage image = scenePicture();
    MediaRun run;
    run.savePath = directory.path();
    run.saveName = QStringLiteral("bench");
    run.frames = INT_MAX;
    run.pictures = !video;
    run.video = video;
    MediaSaver saver;
    // The first frame opens the video file; that happens once per run and is not what is measured.
    if (saver.save(image, run) == MediaSaver::Outcome::Failed) {
        state.SkipWithError("the saver could not start");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(saver.save(image, run));
    }
    saver.abort();
}

}  // namespace

void registerFileBenchmarks() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("csv/1000_frames_current", csvFile, true)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
    RegisterBenchmark("csv/1000_frames_gray", csvFile, false)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);
    RegisterBenchmark("png/one_picture", mediaFrame, false)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Iterations(2000);
    RegisterBenchmark("video/one_frame", mediaFrame, true)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Iterations(2000);
}

}  // namespace bench
