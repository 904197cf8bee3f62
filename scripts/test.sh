#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs every check:
#   1. the tests in a plain build, then the short soak (tests labelled "soak": 10,000 frames with faults
#      and saves, 100 unplugs during capture),
#   2. the tests and the soak under AddressSanitizer with UndefinedBehaviorSanitizer,
#   3. the tests and a shorter soak under ThreadSanitizer,
#   4. the fuzz targets, 30 s each (scripts/fuzz.sh).
# Any sanitizer report fails its test. Every step runs even when one before it failed, and the end of the
# output says what each step found; the exit status is non-zero if any step failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

logs=build-logs
mkdir -p "$logs"
summary=()
failed=0

# step NAME COMMAND...: runs the command with its output shown and kept in $logs/NAME.log.
step() {
    local name="$1"
    shift
    local started=$SECONDS
    echo "=== $name: $*"
    "$@" 2>&1 | tee "$logs/$name.log"
    local status=${PIPESTATUS[0]}
    local verdict=passed
    if [ "$status" -ne 0 ]; then
        verdict="FAILED (exit $status)"
        failed=1
    fi
    summary+=("$(printf '%-12s %-18s %4d s' "$name" "$verdict" $((SECONDS - started)))")
    # What the step found: CTest's count and failures, sanitizer reports, the soak's figures, the fuzzers' table.
    while IFS= read -r line; do
        summary+=("    $line")
    done < <(grep -E '^[0-9]+% tests passed|^[[:space:]]*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Not Run)|^([0-9]+: )?soak:|^  fuzz_|SUMMARY: [A-Za-z]+Sanitizer' \
        "$logs/$name.log" | sed -E 's/^[[:space:]]+//; s/^[0-9]+: //')
}

ctest_run() {
    ctest --test-dir "$1" --output-on-failure "${@:2}"
}

# soak_run BUILD_DIR [FRAMES UNPLUGS]: the soak tests, with their figures printed.
soak_run() {
    VANTIKO_SOAK_FRAMES="${2:-10000}" VANTIKO_SOAK_UNPLUGS="${3:-100}" ctest_run "$1" -L soak -V
}

# Builds take both cores; the sanitizer trees are built one after the other, never at the same time.
step build scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
step tests ctest_run build -j2 -LE soak
step soak soak_run build

step build-asan scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTIKO_SANITIZE=address,undefined
step tests-asan ctest_run build-asan -j2 -LE soak
step soak-asan soak_run build-asan

step build-tsan scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTIKO_SANITIZE=thread
step tests-tsan ctest_run build-tsan -j2 -LE soak
# Slower under the thread sanitizer: fewer frames and unplugs, still every kind of fault and many saves.
step soak-tsan soak_run build-tsan 5000 20

step fuzz scripts/fuzz.sh 30

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
