// The window's path from the worker's picture to what it draws: orientation, then a pixmap.

#include <QImage>
#include <QPixmap>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "DisplayOrientation.h"

namespace bench {
namespace {

void displayPath(benchmark::State &state, bool turned) {
    const std::vector<unsigned char> frame = sceneFrame();
    ReceiverThread worker;
    configure(worker);
    const QImage image = worker.renderFrame(frame);
    DisplayOrientation orientation;
    if (turned) {
        orientation.rotate();
        orientation.toggleMirrorHorizontal();
        orientation.toggleMirrorVertical();
    }
    for (auto _ : state) {
        const QPixmap pixmap = QPixmap::fromImage(orientation.apply(image));
        benchmark::DoNotOptimize(pixmap.cacheKey());
    }
}

}  // namespace

void registerDisplayBenchmarks() {
    using benchmark::RegisterBenchmark;
    RegisterBenchmark("display/upright", displayPath, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
    RegisterBenchmark("display/rotated_mirrored", displayPath, true)->Unit(benchmark::kMicrosecond)->UseRealTime();
}

}  // namespace bench
