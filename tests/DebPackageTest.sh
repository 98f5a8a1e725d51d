#!/usr/bin/env bash
# cpack -G DEB makes a package whose dependencies name the libraries the programs link;
# unpacked into a temporary root, its marovex-render draws the build tree's picture.
set -u
build=$1
render=$2
sample=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
passes=0
ok() { echo "ok: $*"; passes=$((passes + 1)); }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! (cd "$tmp" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out") \
    >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
deb=$(ls "$tmp"/out/*.deb 2>/dev/null | head -1)
if [ -z "$deb" ]; then
    cat "$tmp/cpack.log"
    echo "FAIL: no .deb made"
    exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt5gui5 libqt5opengl5 libglew2.2 libegl1 libopenimageio libc6 libgl1-mesa-dri; do
    [[ $depends == *"$library"* ]] && ok "depends on $library" ||
        fail "Depends lacks $library: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = marovex-viewer ] && ok "package name" ||
    fail "package name '$(dpkg-deb -f "$deb" Package)'"

dpkg-deb -x "$deb" "$tmp/root"
for file in usr/bin/marovex-viewer usr/share/marovex-viewer/viewer.frag \
    usr/share/applications/marovex-viewer.desktop usr/share/thumbnailers/marovex-render.thumbnailer; do
    [ -e "$tmp/root/$file" ] && ok "packed $file" || fail "not packed: $file"
done
args=(--size 160x80 --yaw 120 --fov 80)
"$render" "${args[@]}" "$sample" "$tmp/built.ppm" || fail "the build tree's marovex-render"
if "$tmp/root/usr/bin/marovex-render" "${args[@]}" "$sample" "$tmp/unpacked.ppm" 2>"$tmp/err" &&
    cmp -s "$tmp/built.ppm" "$tmp/unpacked.ppm"; then
    ok "the unpacked marovex-render draws the build tree's picture"
else
    fail "the unpacked marovex-render: $(cat "$tmp/err")"
fi
echo "$passes passed, $failures failed"
[ $failures -eq 0 ]
