#!/usr/bin/env bash
# Makes the seed corpus of the JPEG fuzz target with ImageMagick, cjpeg and exiftool: small
# files of each layout libjpeg decodes, a forged size, and damaged copies. Run from anywhere;
# rewrites the folder.
set -euo pipefail
cd "$(dirname "$0")"
jpeg=corpus-jpeg
rm -f "$jpeg"/*
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

convert=convert-im6.q16
$convert -size 24x16 gradient:red-blue "$scratch/colour.ppm"
$convert -size 24x16 gradient:white-black "$scratch/grey.pgm"
cjpeg -quality 80 -outfile "$jpeg/baseline.jpg" "$scratch/colour.ppm"
cjpeg -progressive -outfile "$jpeg/progressive.jpg" "$scratch/colour.ppm"
cjpeg -arithmetic -outfile "$jpeg/arithmetic.jpg" "$scratch/colour.ppm"
cjpeg -restart 1 -sample 2x2 -outfile "$jpeg/restart-420.jpg" "$scratch/colour.ppm"
cjpeg -outfile "$jpeg/grey.jpg" "$scratch/grey.pgm"
$convert "$scratch/colour.ppm" -colorspace CMYK -quality 70 "$jpeg/cmyk.jpg"
$convert "$scratch/colour.ppm" -strip -quality 70 "$scratch/plain.jpg"
exiftool -q -o "$jpeg/turned.jpg" -Orientation#=6 "$scratch/plain.jpg"
exiftool -q -o "$jpeg/equirectangular.jpg" -XMP-GPano:ProjectionType=equirectangular \
    -XMP-GPano:FullPanoWidthPixels=48 -XMP-GPano:FullPanoHeightPixels=24 \
    -XMP-GPano:CroppedAreaLeftPixels=12 -XMP-GPano:CroppedAreaTopPixels=4 "$scratch/plain.jpg"

# Damaged copies: cut in half, and a run of bytes overwritten in the middle.
for file in "$jpeg"/*.jpg; do
    size=$(stat -c %s "$file")
    head -c $((size / 2)) "$file" > "${file%.*}-cut.jpg"
    { head -c $((size / 3)) "$file"; printf '\377\377\377\377\000\000\000\200'; \
      tail -c +$((size / 3 + 9)) "$file"; } > "${file%.*}-bent.jpg"
done
# The baseline file with its frame header claiming 65000 x 65000.
python3 - "$jpeg/baseline.jpg" "$jpeg/huge-frame.jpg" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
sof = data.index(b'\xff\xc0')
data[sof + 5:sof + 9] = (65000).to_bytes(2, 'big') * 2
open(sys.argv[2], 'wb').write(data)
PY
