#!/usr/bin/env bash
# Makes the seed corpus of the AVIF fuzz target with ImageMagick and avifenc: small files of each
# depth, chroma layout and transfer the reader converts, a grid, forged sizes, and damaged copies.
# Run from anywhere; rewrites the folder.
set -euo pipefail
cd "$(dirname "$0")"
avif=corpus-avif
mkdir -p "$avif"
rm -f "$avif"/*
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

convert=convert-im6.q16
$convert -size 24x16 gradient:red-blue -depth 16 "$scratch/colour.png"
$convert -size 128x128 gradient:red-blue -depth 16 "$scratch/square.png"
encode() { avifenc -s 10 "$@" > /dev/null; }
encode --depth 8 --yuv 420 "$scratch/colour.png" "$avif/srgb8-420.avif"
encode -l --depth 8 "$scratch/colour.png" "$avif/lossless8.avif"
encode --depth 10 --yuv 420 --cicp 9/16/9 "$scratch/colour.png" "$avif/pq10-420.avif"
encode --depth 10 --yuv 422 --cicp 9/18/9 "$scratch/colour.png" "$avif/hlg10-422.avif"
encode --depth 12 --yuv 444 --cicp 12/8/1 "$scratch/colour.png" "$avif/linear12-p3-444.avif"
encode --depth 10 --yuv 400 --cicp 1/16/1 "$scratch/colour.png" "$avif/pq10-grey.avif"
encode --depth 8 --yuv 420 --icc /usr/share/color/icc/ghostscript/a98.icc --cicp 2/2/6 \
    "$scratch/colour.png" "$avif/icc.avif"
encode --depth 10 --yuv 420 --cicp 9/16/9 -g 2x2 "$scratch/square.png" "$avif/grid.avif"

# Damaged copies: cut in half, and a run of bytes overwritten in the middle.
for file in "$avif"/*.avif; do
    size=$(stat -c %s "$file")
    head -c $((size / 2)) "$file" > "${file%.*}-cut.avif"
    { head -c $((size / 3)) "$file"; printf '\377\377\377\377\000\000\000\200'; \
      tail -c +$((size / 3 + 9)) "$file"; } > "${file%.*}-bent.avif"
done
# The PQ file with its ispe box claiming 100000 x 100000, and 16 x 16.
python3 - "$avif/pq10-420.avif" "$avif" <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
ispe = data.index(b'ispe')
for name, width, height in (('huge', 100000, 100000), ('tiny', 16, 16)):
    data[ispe + 8:ispe + 16] = width.to_bytes(4, 'big') + height.to_bytes(4, 'big')
    open(sys.argv[2] + '/forged-' + name + '.avif', 'wb').write(data)
PY
