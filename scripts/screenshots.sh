#!/usr/bin/env bash
# Renders docs/screenshots/*.png from a scripted session on the simulated instrument.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
QT_QPA_PLATFORM=offscreen build/tools/screenshots/vantiko_screenshots docs/screenshots
