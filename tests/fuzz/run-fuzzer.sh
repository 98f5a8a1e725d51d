#!/usr/bin/env bash
# Builds a libFuzzer target with clang, AddressSanitizer and UndefinedBehaviorSanitizer and runs
# it from its seed corpus: run-fuzzer.sh [SECONDS] (default 600). FUZZ_TARGET picks rgbe
# (default), exr, tiff, pfm, jpeg, avif, png, pnm or generic (the formats OpenImageIO reads besides:
# BMP, GIF, Targa, WebP, SGI, .jpeg). New inputs stay in build/fuzz/corpus-TARGET, crashes in
# build/fuzz/crashes-TARGET; neither goes back into the tree.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-600}"
target="${FUZZ_TARGET:-rgbe}"
build="${FUZZ_BUILD:-build/fuzz}"
seeds=tests/fuzz/corpus
if [ "$target" != rgbe ]; then
    seeds="tests/fuzz/corpus-$target"
fi
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAROVEX_FUZZ=ON > "$build/configure.log"
cmake --build "$build" --target "$target-fuzzer" -j "${FUZZ_JOBS:-$(nproc)}"
mkdir -p "$build/corpus-$target" "$build/crashes-$target"
"$build/bin/$target-fuzzer" -max_total_time="$seconds" -max_len=300000 -timeout=20 \
    -rss_limit_mb=4096 -artifact_prefix="$build/crashes-$target/" -print_final_stats=1 \
    "$build/corpus-$target" "$seeds"
