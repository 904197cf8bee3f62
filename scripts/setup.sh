#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing. Safe to run again.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libopencv-dev libftdi1-dev libudev-dev libhdf5-dev
    # another reader of the HDF5 files for the tests, and h5clear for files whose writer was killed
    python3-h5py python3-pytest hdf5-tools
    libbenchmark-dev
    ffmpeg xvfb x11-apps imagemagick
    fonts-liberation2
    desktop-file-utils appstream dpkg-dev file
    # clang with its sanitizer and libFuzzer runtimes, for the fuzz targets
    clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
