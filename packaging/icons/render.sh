#!/bin/sh
# Renders the program's icon (vantiko.svg) to the PNG sizes the package installs into the hicolor theme:
# png/SIZE.png. Needs rsvg-convert (Debian package librsvg2-bin). The PNGs are committed, so building and
# packaging need neither the tool nor this script.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/png"
for size in 16 24 32 48 64 128 256 512; do
    rsvg-convert --format=png --width="$size" --height="$size" --output="$here/png/$size.png" "$here/vantiko.svg"
    echo "rendered $size.png"
done
