#!/usr/bin/env bash
# Configures and builds one tree. Usage: scripts/build.sh BUILD_DIR [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$1"
shift
cmake -S . -B "$dir" "$@" > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)"
