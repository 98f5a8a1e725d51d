#!/usr/bin/env bash
# The desktop entry, the MIME types and the AppStream metadata pass their validators, and the
# MIME definition makes a RADIANCE file's first bytes say image/vnd.radiance.
set -u
data=$1
# The entry the build writes from its template.
desktop=$2
failures=0
check() {
    local what=$1
    shift
    if output=$("$@" 2>&1); then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        echo "$output"
        failures=$((failures + 1))
    fi
}
check "desktop entry" desktop-file-validate "$desktop"
if grep -q '^MimeType=image/vnd.radiance;.*image/jpeg;' "$desktop"; then
    echo "ok: MIME types of the format table"
else
    echo "FAIL: MIME types: $(grep '^MimeType' "$desktop")"
    failures=$((failures + 1))
fi
check "AppStream metadata" appstreamcli validate --no-net "$data/org.marovex.Viewer.metainfo.xml"
check "MIME definition" xmllint --noout "$data/marovex-viewer-mime.xml"

# A private MIME database with our definition: the magic alone names the type.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/mime/packages"
cp /usr/share/mime/packages/freedesktop.org.xml "$tmp/mime/packages/"
cp "$data/marovex-viewer-mime.xml" "$tmp/mime/packages/"
update-mime-database "$tmp/mime" >/dev/null 2>&1
printf '#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n\x80\x80\x80\x81' > "$tmp/no-suffix"
type=$(XDG_DATA_HOME="$tmp" XDG_DATA_DIRS="$tmp" gio info -a standard::content-type "$tmp/no-suffix" 2>/dev/null |
       awk '/content-type/ {print $2}')
if [ "$type" = "image/vnd.radiance" ]; then
    echo "ok: RADIANCE magic"
else
    echo "FAIL: RADIANCE magic gives '$type'"
    failures=$((failures + 1))
fi
[ $failures -eq 0 ] && echo "5 passed, 0 failed" || { echo "$failures failed"; exit 1; }
