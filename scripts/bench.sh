#!/usr/bin/env bash
# Builds the performance suite in Release and runs it offscreen. Prints Google Benchmark's table of every
# run, then each figure beside its target. Extra arguments go to the suite, e.g.
#   scripts/bench.sh --benchmark_filter='stream|csv'
# VANTIKO_BENCH_STREAM_MS sets how long each end-to-end run measures (default 3000 unpaced, 6000 paced).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

dir=build-release
launcher=()
if command -v ccache > /dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "${launcher[@]}" > "$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)" --target vantiko_bench

echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name:[[:space:]]*//p'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
QT_QPA_PLATFORM=offscreen "$dir/bench/vantiko_bench" "$@"
