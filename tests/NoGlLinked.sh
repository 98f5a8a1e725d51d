#!/usr/bin/env bash
# Fails when any of the given programs links a GL, GLEW, GLU or Qt library itself. Only the
# programs' own entries count: Debian's OpenImageIO loads libGLX through OpenCV.
set -u
status=0
for program in "$@"; do
    libraries=$(readelf -d "$program" | grep NEEDED) || { echo "readelf failed on $program"; exit 1; }
    found=$(echo "$libraries" | grep -E -i 'lib(GL|GLEW|GLU|GLX|EGL|OpenGL|Qt5?[A-Za-z]*)[.-]' || true)
    if [ -n "$found" ]; then
        echo "$program links:"
        echo "$found"
        status=1
    fi
done
[ $status -eq 0 ] && echo "none of $# programs links GL or Qt"
exit $status
