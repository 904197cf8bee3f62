#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz and
# runs each for SECONDS (default 30), starting from its seed corpus in tests/fuzz/corpus/NAME/ (with the
# dictionary tests/fuzz/NAME.dict where there is one). Inputs that reach new code are kept in
# build-fuzz/corpus/NAME/ for the next run; an input that crashes is saved as build-fuzz/crashes/NAME-*
# and its report is in build-fuzz/fuzz-NAME.log.
# Exits non-zero if any target crashed, leaked or hung.
#
# Usage: scripts/fuzz.sh [SECONDS] [NAME...]     e.g. scripts/fuzz.sh 3600 framecutter
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
dir=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTIKO_SANITIZE=address,undefined \
    -DVANTIKO_FUZZ=ON -DBUILD_TESTING=OFF > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)" --target vantiko_fuzz

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for source in tests/fuzz/fuzz_*.cpp; do
        name="$(basename "$source" .cpp)"
        names+=("${name#fuzz_}")
    done
fi

mkdir -p "$dir/crashes" "$dir/home"
failed=0
summary=()
for name in "${names[@]}"; do
    mkdir -p "$dir/corpus/$name"
    log="$dir/fuzz-$name.log"
    seeds="tests/fuzz/corpus/$name"
    [ -d "$seeds" ] || seeds=""
    dictionary=()
    [ -f "tests/fuzz/$name.dict" ] && dictionary=(-dict="tests/fuzz/$name.dict")
    status=ok
    # The program's settings and scratch files stay inside the build folder.
    if ! XDG_CONFIG_HOME="$PWD/$dir/home" QT_QPA_PLATFORM=offscreen \
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$dir/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$dir/crashes/$name-" "${dictionary[@]}" "$dir/corpus/$name" $seeds \
        > "$log" 2>&1; then
        status=FAILED
        failed=1
        echo "--- fuzz_$name failed; the end of $log:"
        tail -n 40 "$log"
    fi
    runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)"
    coverage="$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$' || true)"
    corpus="$(find "$dir/corpus/$name" -type f | wc -l)"
    summary+=("$(printf '  %-32s %-6s %10s runs  %6s edges  %5s inputs in corpus' \
        "fuzz_$name" "$status" "${runs:-?}" "${coverage:-?}" "$corpus")")
done

echo "Fuzzing, ${seconds} s per target:"
printf '%s\n' "${summary[@]}"
exit "$failed"
