#!/usr/bin/env bash
# Builds rgbe-fuzzer with clang, AddressSanitizer and UndefinedBehaviorSanitizer and runs it
# from the seed corpus: run-fuzzer.sh [SECONDS] (default 600). New inputs stay in
# build/fuzz/corpus, crashes in build/fuzz/crashes; neither goes back into the tree.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-600}"
build="${FUZZ_BUILD:-build/fuzz}"
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAROVEX_FUZZ=ON > "$build/configure.log"
cmake --build "$build" --target rgbe-fuzzer -j "$(nproc)"
mkdir -p "$build/corpus" "$build/crashes"
"$build/bin/rgbe-fuzzer" -max_total_time="$seconds" -max_len=300000 -timeout=20 \
    -artifact_prefix="$build/crashes/" -print_final_stats=1 \
    "$build/corpus" tests/fuzz/corpus
