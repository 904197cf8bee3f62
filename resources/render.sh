#!/bin/sh
# Renders every picture source in svg/ to the PNG of the same name in image_resource/, at the size written in
# the source's width and height (already two or more times the size at which the program shows it).
# Needs rsvg-convert (Debian package librsvg2-bin). The PNGs are committed, so building needs neither.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$here/image_resource"
for source in "$here"/svg/*.svg; do
    name=$(basename "$source" .svg)
    rsvg-convert --format=png --output="$here/image_resource/$name.png" "$source"
    echo "rendered $name.png"
done
