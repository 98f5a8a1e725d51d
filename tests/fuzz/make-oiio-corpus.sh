#!/usr/bin/env bash
# Makes the seed corpora of the OpenEXR, TIFF and PFM fuzz targets with oiiotool and
# ImageMagick: small valid files of each layout, and damaged copies of them. Run from
# anywhere; rewrites the folders.
set -euo pipefail
cd "$(dirname "$0")"
exr=corpus-exr
tiff=corpus-tiff
pfm=corpus-pfm
rm -f "$exr"/* "$tiff"/* "$pfm"/*

grad='--pattern fill:topleft=0.1,2,30:topright=4,0.5,0:bottomleft=0,0,1:bottomright=60,9,0.01'
oiiotool $grad 16x8 3 -d half -o "$exr/scanline-half.exr"
oiiotool $grad 16x8 3 -d float --compression none -o "$exr/scanline-float.exr"
oiiotool $grad 20x12 4 -d half --tile 8 8 -o "$exr/tiled-rgba.exr"
oiiotool $grad 16x8 1 --chnames Y -d half -o "$exr/luminance.exr"
oiiotool $grad 12x6 3 --origin +3+2 --fullsize 20x10+0+0 -d half -o "$exr/data-window.exr"
oiiotool $grad 16x8 3 --attrib envmap latlong -d half --compression piz -o "$exr/latlong.exr"
oiiotool $grad 8x4 3 --chnames diffuse.R,diffuse.G,diffuse.B -d half -o "$exr/layers.exr"
oiiotool $grad 8x4 1 --chnames Z -d float $grad 8x4 3 -d half --siappend -o "$exr/two-parts.exr"
oiiotool $grad 16x8 3 -d float -o "$tiff/float.tif"
oiiotool $grad 16x8 3 -d half -o "$tiff/half.tif"
oiiotool $grad 16x8 3 -d uint8 -o "$tiff/eight.tif"
oiiotool $grad 16x8 3 -d uint16 --tile 16 16 -o "$tiff/sixteen-tiled.tif"
oiiotool $grad 16x8 1 -d float -o "$tiff/grey.tif"
# OpenImageIO reads PFM but does not write it.
convert-im6.q16hdri "$tiff/float.tif" "$pfm/colour.pfm"
convert-im6.q16hdri "$tiff/grey.tif" "$pfm/grey.pfm"

# Damaged copies: cut in half, and a run of bytes overwritten in the middle.
for file in "$exr"/*.exr "$tiff"/*.tif "$pfm"/*.pfm; do
    size=$(stat -c %s "$file")
    head -c $((size / 2)) "$file" > "${file%.*}-cut.${file##*.}"
    { head -c $((size / 3)) "$file"; printf '\377\377\377\377\000\000\000\200'; \
      tail -c +$((size / 3 + 9)) "$file"; } > "${file%.*}-bent.${file##*.}"
done
printf 'PF\n99999 99999\n-1.0\n\0\0\0\0' > "$pfm/huge-header.pfm"
printf 'PF\n4 0\n-1.0\n' > "$pfm/zero-height.pfm"
printf 'Pf\n2 2\n1.0\n\0\0\200\77\0\0\0\100\0\0\100\100\0\0\200\100' > "$pfm/big-endian.pfm"
