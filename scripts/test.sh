#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs every test: once in a plain build and once under
# AddressSanitizer with UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build --output-on-failure -j2

scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVANTIKO_SANITIZE=address,undefined
ctest --test-dir build-asan --output-on-failure -j2
