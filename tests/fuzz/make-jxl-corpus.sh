#!/usr/bin/env bash
# Makes the seed corpus of the JPEG XL fuzz target with ImageMagick and cjxl: small files of
# 8 and 16 bits, floats, grey, lossless and lossy, HDR transfers and wide primaries, a forged
# size and damaged copies. Run from anywhere; rewrites the folder.
set -euo pipefail
cd "$(dirname "$0")"
jxl=corpus-jxl
mkdir -p "$jxl"
rm -f "$jxl"/*
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

convert=convert-im6.q16
$convert -size 24x16 gradient:red-blue -depth 8 "$scratch/colour8.png"
$convert -size 24x16 gradient:green-yellow -depth 16 "$scratch/colour16.png"
$convert -size 24x16 gradient:white-black -depth 8 "$scratch/grey.png"
$convert -size 24x16 gradient:red-blue -define quantum:format=floating-point "$scratch/float.pfm"
enc() { cjxl "$@" > /dev/null 2>&1; }
enc "$scratch/colour8.png" "$jxl/lossless8.jxl" -d 0
enc "$scratch/colour8.png" "$jxl/lossy8.jxl" -d 1
enc "$scratch/grey.png" "$jxl/grey.jxl" -d 0
enc "$scratch/colour16.png" "$jxl/pq2020.jxl" -d 0 -x color_space=RGB_D65_202_Rel_PeQ
enc "$scratch/colour16.png" "$jxl/hlg-lossy.jxl" -d 1 -x color_space=RGB_D65_SRG_Rel_HLG
enc "$scratch/colour16.png" "$jxl/p3-gamma.jxl" -d 0 -x color_space=RGB_D65_DCI_Rel_g0.45455
enc "$scratch/float.pfm" "$jxl/float.jxl" -d 0 -x color_space=RGB_D65_SRG_Rel_Lin
enc "$scratch/float.pfm" "$jxl/float-lossy.jxl" -d 2
enc "$scratch/colour8.png" "$jxl/modular-lossy.jxl" -m 1 -d 2

# A bare codestream claiming 100000 x 100000 pixels, then a file cut in half.
printf '\xff\x0a\xfc\x34\x0c\x7e\x1a\x16\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    > "$jxl/forged-size.jxl"
size=$(stat -c %s "$jxl/pq2020.jxl")
head -c $((size / 2)) "$jxl/pq2020.jxl" > "$jxl/pq2020-cut.jxl"
