#!/bin/bash
# Opens the 16384 x 8192 and 8192 x 4096 sample panoramas in the real viewer window, once with
# this build and once with an older one, and prints for each: the time from open to the first
# frame showing the picture and to the first full-resolution frame, the longest gap between
# ticks of a 15 ms timer from the application's start, the longest time without a tick once the
# file is opened (the load itself, without the window's start-up before it) and from the
# window's first frame on, and the peak resident memory. The timings come from
# load-probe (bench/LoadProbe.cpp), preloaded into both viewers, so the older build needs no
# hook. Run by hand, ideally on a quiet machine:
#
#   bash bench/load-bench.sh BUILD_DIR OLD_BUILD_DIR [FOLDER] [REPETITIONS]
#
# FOLDER (default /tmp/loadbench) keeps the panoramas, drawn with BUILD_DIR's
# make-sample-panorama when missing. Without a display it runs itself under xvfb-run.
set -euo pipefail
build=$(cd "$1" && pwd)
old=$(cd "$2" && pwd)
folder=${3:-/tmp/loadbench}
# Medians of several runs (default 5): one run on a shared machine varies by a second.
repetitions=${4:-5}
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "$build" "$old" "$folder" "$repetitions"
fi
probe=$build/bench/libload-probe.so
[ -f "$probe" ] || { echo "no $probe: build the load-probe target" >&2; exit 1; }
mkdir -p "$folder"
for width in 8192 16384; do
    if [ ! -f "$folder/pano-$width.hdr" ]; then
        "$build/bin/make-sample-panorama" "$folder/pano-$width.hdr" "$width" >/dev/null
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One load; prints the probe's line, or "fail" when the viewer never showed the full picture.
# Each build keeps its compiled shaders in FOLDER, as a user's cache does after the first start;
# settings start afresh.
measure() {
    local viewer=$1 file=$2 width=$3 which=$4
    # The file from the page cache, as a picture opened twice would be.
    cat "$file" >/dev/null
    rm -f "$work/out"
    HOME=$work MESA_SHADER_CACHE_DIR=$folder/shader-cache-$which PROBE_OUT=$work/out \
        PROBE_FILE=$file PROBE_WIDTH=$width PROBE_HEIGHT=$((width / 2)) \
        LD_PRELOAD=$probe timeout 300 "$viewer" "$file" >/dev/null 2>&1 || true
    if [ -s "$work/out" ]; then cat "$work/out"; else echo "fail"; fi
}

# The median of numbers, one a line; "fail" when any run failed.
median() {
    sort -g | awk '/fail/ { failed = 1 } { v[NR] = $1 }
        END { if (failed || NR == 0) print "fail"; else if (NR % 2) print v[(NR + 1) / 2];
              else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "GL: $(glxinfo -B 2>/dev/null | sed -n 's/.*OpenGL renderer string: //p'); $(nproc) cores"
# Runs interleaved, new and old in turn, so that the machine's moods fall on both alike. Which
# goes first alternates: a run is faster right after another has freed much memory (this
# kind of virtual machine hands memory freed a while ago back to its host, and takes it back
# slowly), and the same order each time would give that to one build only.
declare -A runs
for ((run = 1; run <= repetitions; run++)); do
    order="new old"
    if ((run % 2 == 0)); then order="old new"; fi
    for width in 16384 8192; do
        for which in $order; do
            if [ "$which" = new ]; then dir=$build; else dir=$old; fi
            runs[$which$width]+="$(measure "$dir/bin/marovex-viewer" "$folder/pano-$width.hdr" \
                "$width" "$which")"$'\n'
        done
    done
done
echo "medians of $repetitions runs"
printf '%-8s %-11s %12s %10s %12s %12s %10s %12s\n' build picture "first view" "full res" \
    "longest gap" "gap in load" "peak RSS" "after frame"
declare -A full
for width in 16384 8192; do
    for which in new old; do
        lines=${runs[$which$width]}
        column() { awk -v c="$1" 'NF { print ($1 == "fail") ? "fail" : $c }' <<<"$lines" | median; }
        view=$(column 1) res=$(column 2) gap=$(column 3) peak=$(column 4) shown=$(column 6)
        loading=$(column 7)
        full[$which$width]=$res
        printf '%-8s %-11s %11ss %9ss %10sms %10sms %8sMB %10sms\n' "$which" \
            "${width}x$((width / 2))" "$view" "$res" "$gap" "$loading" "$peak" "$shown"
    done
done
if [[ ${full[new16384]} =~ ^[0-9.]+$ && ${full[old16384]} =~ ^[0-9.]+$ ]]; then
    echo "16384x8192 full resolution: new/old = $(echo "scale=2; ${full[new16384]} / ${full[old16384]}" | bc)"
fi
# Every run, for the spread the medians hide.
for width in 16384 8192; do
    for which in new old; do
        echo "$which ${width}: full res of each run (s):" \
            $(awk 'NF { print $2 }' <<<"${runs[$which$width]}")
    done
done
echo "new: $build; old: $old"
echo "longest gap: from the application's start, the window's making included; gap in load: from"
echo "the file's opening on; after frame: from the window's first frame on (an older build draws"
echo "its first frame once its load is over, so its freeze is in the other two)."
