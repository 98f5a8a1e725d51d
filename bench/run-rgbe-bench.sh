#!/usr/bin/env bash
# Makes the benchmark's pictures with ImageMagick's HDRI build (which keeps values above 1)
# and runs rgbe-bench on them: run-rgbe-bench.sh [BUILD_FOLDER] [REPETITIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
repetitions="${2:-7}"
cmake --build "$build" --target rgbe-bench make-sample-panorama -j "$(nproc)"
files="$build/bench-files"
mkdir -p "$files/policy"
# Debian's policy caps the pixel cache below what 8192 x 4096 floats need.
cat > "$files/policy/policy.xml" <<'POLICY'
<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="area" value="2GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
POLICY
export MAGICK_CONFIGURE_PATH="$files/policy"
for width in 2048 8192; do
    if [ ! -f "$files/im-$width.hdr" ]; then
        "$build/bin/make-sample-panorama" "$files/source-$width.hdr" "$width" 2>/dev/null
        # Sensor-like noise, so that the mantissas compress as in a photograph.
        convert-im6.q16hdri "$files/source-$width.hdr" -seed 7 -attenuate 0.3 +noise Gaussian \
            "$files/im-$width.hdr"
        rm "$files/source-$width.hdr"
    fi
done
"$build/bin/rgbe-bench" "$files" "$repetitions"
