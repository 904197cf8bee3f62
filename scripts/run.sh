#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and starts the program. Without VANTIKO_LINK set it runs on
# the simulated instrument; VANTIKO_LINK=libftdi or VANTIKO_LINK=d2xx talk to a real one.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
cmake --build build -j"$(nproc)" --target vantiko

export VANTIKO_LINK="${VANTIKO_LINK:-simulator}"
exec build/src/app/vantiko "$@"
