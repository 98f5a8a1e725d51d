#!/usr/bin/env bash
# Makes the seed corpus of the generic fuzz target with ImageMagick: small files of each
# format of its suffixes, and damaged copies. Each seed starts with the byte that makes the
# target choose its suffix (the order of OiioFuzz.cpp's list). Run from anywhere; rewrites the
# folder.
set -euo pipefail
cd "$(dirname "$0")"
generic=corpus-generic
rm -f "$generic"/*
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

convert=convert-im6.q16
$convert -size 20x12 gradient:red-blue "$scratch/colour.ppm"
$convert -size 20x12 gradient:white-black "$scratch/grey.pgm"
# name, choice byte (octal), ImageMagick's format prefix of the output, input, options
make() {
    local name=$1 choice=$2 format=$3 input=$4
    shift 4
    $convert "$input" "$@" "$format$scratch/$name"
    { printf "\\$choice"; cat "$scratch/$name"; } > "$generic/$name"
}
make rgb.bmp 0 BMP3: "$scratch/colour.ppm"
make palette-rle.bmp 0 BMP3: "$scratch/colour.ppm" -colors 16 -compress RLE
make alpha.bmp 0 BMP: "$scratch/colour.ppm" -alpha set
make colour.gif 1 "" "$scratch/colour.ppm"
make grey.gif 1 "" "$scratch/grey.pgm"
make rgb.tga 2 "" "$scratch/colour.ppm" -compress None
make rle.tga 2 "" "$scratch/colour.ppm" -compress RLE
make lossy.webp 3 "" "$scratch/colour.ppm" -quality 50
make lossless.webp 3 "" "$scratch/colour.ppm" -define webp:lossless=true
make rgb.sgi 4 "" "$scratch/colour.ppm" -compress None
make rle.sgi 4 "" "$scratch/grey.pgm" -compress RLE
make progressive.jpeg 5 "" "$scratch/colour.ppm" -interlace Plane

# Damaged copies: cut in half, and a run of bytes overwritten in the middle.
for file in "$generic"/*; do
    size=$(stat -c %s "$file")
    head -c $((size / 2)) "$file" > "${file%.*}-cut.${file##*.}"
    { head -c $((size / 3)) "$file"; printf '\377\377\377\377\000\000\000\200'; \
      tail -c +$((size / 3 + 9)) "$file"; } > "${file%.*}-bent.${file##*.}"
done
# Forged sizes: a BMP and a Targa header claiming 1000000 x 1000000 and 65535 x 65535.
python3 - "$generic" <<'PY'
import sys
folder = sys.argv[1]
data = bytearray(open(folder + '/rgb.bmp', 'rb').read())
data[1 + 18:1 + 26] = (1000000).to_bytes(4, 'little') * 2
open(folder + '/huge.bmp', 'wb').write(data)
data = bytearray(open(folder + '/rgb.tga', 'rb').read())
data[1 + 12:1 + 16] = b'\xff\xff' * 2
open(folder + '/huge.tga', 'wb').write(data)
PY
