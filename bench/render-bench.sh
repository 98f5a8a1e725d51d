#!/bin/bash
# Times marovex-render making 256x128 thumbnails of an 8192x4096 panorama, each run a whole
# process, and splits the time by phase from the "[T]" lines of --timing (the loader's read,
# stats and cpu -> gpu inside "load"). Run by hand:
#
#   bash bench/render-bench.sh [BUILD_DIR] [RUNS]       (default build, 5)
#
# Without a display it runs itself under xvfb-run.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "$build" "$runs"
fi
render=$build/bin/marovex-render
maker=$build/bin/make-sample-panorama
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$maker" "$work/pano.hdr" 8192 2>/dev/null
echo "input: 8192x4096 RADIANCE panorama, $(du -h "$work/pano.hdr" | cut -f1) run-length encoded"
echo "renderer: $render; GL: $(glxinfo -B 2>/dev/null | sed -n 's/.*OpenGL renderer string: //p')"

bench() {
    local label=$1 output=$2
    shift 2
    local log=$work/log
    : >"$log"
    local total=0
    for _ in $(seq "$runs"); do
        local start end
        start=$(date +%s.%N)
        "$render" --timing --size 256x128 "$@" "$work/pano.hdr" "$work/$output" 2>>"$log"
        end=$(date +%s.%N)
        total=$(echo "$total + $end - $start" | bc -l)
    done
    echo
    echo "$label ($runs runs, mean seconds per run)"
    printf '  %-22s %8.3f\n' "whole process" "$(echo "$total / $runs" | bc -l)"
    # Phases in the order they first appear; "load" is the sum of the three before it.
    awk -v runs="$runs" '/^\[T\]/ {
            sub(/^\[T\] */, ""); split($0, parts, ": ");
            label = parts[1]; sub(/^ +/, "", label); sub(/s$/, "", parts[2]);
            if (!(label in sum)) order[n++] = label;
            sum[label] += parts[2] }
        END { for (i = 0; i < n; ++i) printf "  %-22s %8.3f\n", order[i], sum[order[i]] / runs }' \
        "$log"
}

bench "sphere view, default zoom, JPEG" thumb.jpg
bench "whole panorama as a flat picture, PNG" thumb.png --projection flat
bench "sphere view, RADIANCE output" thumb.hdr
