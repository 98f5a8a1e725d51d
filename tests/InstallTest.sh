#!/usr/bin/env bash
# Installs into a temporary prefix and moves it: the moved marovex-render finds its shader
# in the installed data folder and draws what the build tree draws; the installed desktop
# files pass their validators; the thumbnailer's command line, run as a file manager runs it
# (no X display), writes a PNG of the asked size that is neither black nor white.
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

if ! cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi
mv "$tmp/prefix" "$tmp/moved"
p=$tmp/moved
for file in bin/marovex-viewer bin/marovex-render share/marovex-viewer/viewer.frag \
    share/applications/marovex-viewer.desktop share/mime/packages/marovex-viewer.xml \
    share/metainfo/org.marovex.Viewer.metainfo.xml \
    share/icons/hicolor/scalable/apps/marovex-viewer.svg \
    share/thumbnailers/marovex-render.thumbnailer; do
    [ -s "$p/$file" ] && ok "installed $file" || fail "not installed: $file"
done
[ -e "$p/bin/viewer.frag" ] && fail "the shader lies beside the installed executable"
for program in dcraw djpeg; do
    if [ -L "$build/bin/$program" ]; then
        [ -x "$p/share/marovex-viewer/$program" ] && ok "$program link" ||
            fail "no working $program link in share/marovex-viewer"
    fi
done

# Answered without a display, before any window.
version=$(env -u DISPLAY "$p/bin/marovex-viewer" --version 2>&1) &&
    [[ $version == "Marovex Viewer "[0-9]* ]] && ok "marovex-viewer --version: $version" ||
    fail "marovex-viewer --version: '$version'"
help=$(env -u DISPLAY "$p/bin/marovex-viewer" --help 2>&1) &&
    [[ $help == "Usage: marovex-viewer "*--watch* ]] && ok "marovex-viewer --help" ||
    fail "marovex-viewer --help: '$help'"

args=(--size 200x100 --yaw 40 --pitch 10 --fov 90)
"$render" "${args[@]}" "$sample" "$tmp/built.ppm" || fail "the build tree's marovex-render"
if "$p/bin/marovex-render" "${args[@]}" "$sample" "$tmp/moved.ppm" 2>"$tmp/err" &&
    cmp -s "$tmp/built.ppm" "$tmp/moved.ppm"; then
    ok "the moved marovex-render draws the build tree's picture"
else
    fail "the moved marovex-render: $(cat "$tmp/err")"
fi

# OpenImageIO's formats go through a module the installed tree keeps in its library folder.
module=$(find "$p" -name marovex-oiio.so -path '*/lib*/marovex-viewer/*')
[ -n "$module" ] && ok "installed ${module#"$p"/}" || fail "the OpenImageIO module is not installed"
if "$render" --size 64x32 "$sample" "$tmp/built.exr" &&
    "$p/bin/marovex-render" "${args[@]}" "$tmp/built.exr" "$tmp/exr.ppm" 2>"$tmp/err"; then
    ok "the moved marovex-render reads OpenEXR through its installed module"
else
    fail "the moved marovex-render on OpenEXR: $(cat "$tmp/err")"
fi

desktop-file-validate "$p/share/applications/marovex-viewer.desktop" &&
    ok "installed desktop entry" || fail "installed desktop entry"
appstreamcli validate --no-net "$p/share/metainfo/org.marovex.Viewer.metainfo.xml" >"$tmp/as" 2>&1 &&
    ok "installed AppStream metadata" || fail "installed AppStream metadata: $(cat "$tmp/as")"

# As a file manager does: the Exec line split into words, then %s %i %o %u %% put in each,
# run with no display and the installed bin/ on the PATH.
thumbnailer=$p/share/thumbnailers/marovex-render.thumbnailer
exec_line=$(sed -n 's/^Exec=//p' "$thumbnailer")
read -ra words <<<"$exec_line"
command=()
for word in "${words[@]}"; do
    word=${word//%s/256}
    word=${word//%i/$sample}
    word=${word//%u/file://$sample}
    word=${word//%o/$tmp/thumbnail.png}
    command+=("${word//%%/%}")
done
if env -u DISPLAY PATH="$p/bin:$PATH" "${command[@]}" 2>"$tmp/err"; then
    info=$(identify -format '%m %w %h' "$tmp/thumbnail.png" 2>&1)
    mean=$(convert "$tmp/thumbnail.png" -colorspace gray -format '%[fx:mean]' info: 2>&1)
    [ "$info" = "PNG 256 128" ] && ok "thumbnail PNG 256 x 128" || fail "thumbnail is '$info'"
    if awk -v m="$mean" 'BEGIN { exit !(m > 0.08 && m < 0.92) }'; then
        ok "thumbnail mean $mean"
    else
        fail "thumbnail mean '$mean' is black or white"
    fi
else
    fail "thumbnailer '${command[*]}': $(cat "$tmp/err")"
fi

echo "$passes passed, $failures failed"
[ $failures -eq 0 ]
