#!/usr/bin/env bash
# Builds the Debian package from the source tree: installs what is missing, configures a Release build in
# build-package/ (installed under /usr), builds it and runs CPack. The last line printed is the .deb's path.
# Install it with: sudo apt install ./build-package/vantiko_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

dir=build-package
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
    > "$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/vantiko_*.deb
(cd "$dir" && cpack -G DEB) > "$dir.cpack.log" 2>&1 || { cat "$dir.cpack.log"; exit 1; }

deb=$(ls "$dir"/vantiko_*.deb)
dpkg-deb --field "$deb" Package Version Architecture Depends
echo "$(pwd)/$deb"
