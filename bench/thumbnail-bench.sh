#!/bin/bash
# Times the file manager's thumbnailer (the command line of marovex-render.thumbnailer, run
# with no display as a sandboxed thumbnailer is) on a 2048x1024 panorama, and a batch of 10
# such files in one process against 10 single runs. Run by hand:
#
#   bash bench/thumbnail-bench.sh [BUILD_DIR] [RUNS]       (default build, 5)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
runs=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
render=$build/bin/marovex-render
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bin/make-sample-panorama" "$work/pano.hdr" 2048 2>/dev/null
read -ra words <<<"$(sed -n 's/^Exec=//p' "$here/../data/marovex-render.thumbnailer")"

seconds() { local start=$(date +%s.%N); "$@"; echo "$(date +%s.%N) - $start" | bc -l; }
thumbnail() {
    local command=()
    for word in "${words[@]}"; do
        word=${word//%s/256}
        word=${word//%i/$work/pano.hdr}
        command+=("${word//%o/$work/thumb.png}")
    done
    command[0]=$render
    env -u DISPLAY "${command[@]}"
}
total=0
for _ in $(seq "$runs"); do
    total=$(echo "$total + $(seconds thumbnail)" | bc -l)
done
printf 'thumbnail of a 2048x1024 panorama, 256 wide, no display: %.3f s a file (%d runs)\n' \
    "$(echo "$total / $runs" | bc -l)" "$runs"

for i in $(seq 10); do ln -s "$work/pano.hdr" "$work/p$i.hdr"; done
batch() { env -u DISPLAY "$render" --thumbnail 256 --output-dir "$work/out" "$work"/p*.hdr; }
singles() {
    for i in $(seq 10); do
        env -u DISPLAY "$render" --thumbnail 256 "$work/p$i.hdr" "$work/single.png"
    done
}
printf '10 files: one batch %.3f s, 10 single runs %.3f s\n' "$(seconds batch)" "$(seconds singles)"
