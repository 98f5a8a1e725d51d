#!/usr/bin/env bash
# Starts the real viewer on a virtual display of its own, with a window manager so that full
# screen means something, and checks the window, the start-up dialog and the exit status.
set -u
viewer=$1
if [ -z "${MAROVEX_STARTUP_DISPLAY:-}" ]; then
    export MAROVEX_STARTUP_DISPLAY=1
    exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "$@"
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Waits up to 10 s for a window with this exact title; prints its id.
wait_window() {
    for _ in $(seq 100); do
        id=$(xdotool search --name "^$1\$" 2>/dev/null | head -1)
        if [ -n "$id" ]; then echo "$id"; return 0; fi
        sleep 0.1
    done
    return 1
}

geometry() { xwininfo -id "$1" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'; }

# Runs the viewer with the given arguments, expects the open dialog, cancels it and
# compares the window's size and the exit status.
check_start() {
    local expected_size=$1
    shift
    local started=$SECONDS
    # A window manager of its own each time: one that outlives a client may take the next
    # client's windows for the old ones it already closed.
    openbox >/dev/null 2>&1 &
    local wm=$!
    sleep 0.5
    "$viewer" "$@" >/dev/null 2>&1 &
    local pid=$!
    local window dialog
    if ! window=$(wait_window "Marovex Viewer"); then
        fail "no window titled 'Marovex Viewer' for: $*"
        kill $pid $wm 2>/dev/null
        return
    fi
    if ! dialog=$(wait_window "Choose image\\(s\\) to display"); then
        fail "no open dialog for: $*"
        kill $pid $wm 2>/dev/null
        return
    fi
    local size
    size=$(geometry "$window")
    [ "$size" = "$expected_size" ] || fail "window is $size, expected $expected_size for: $*"
    xdotool key --window "$dialog" Escape
    local status=0
    for _ in $(seq 100); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 $pid 2>/dev/null; then
        fail "still running after the dialog was cancelled: $*"
        kill $pid
    fi
    wait $pid
    status=$?
    [ $status -eq 0 ] || fail "exit status $status after cancel for: $*"
    kill $wm 2>/dev/null
    wait $wm 2>/dev/null
    echo "checked: ${*:-(no arguments)} -> $size, exit $status, $((SECONDS - started)) s"
}

# Two pictures from the command line: the first is shown, "<" steps on, "q" quits with 0.
check_two_files() {
    local dir
    dir=$(mktemp -d)
    convert -size 60x30 xc:'#c06020' "$dir/first.jpg"
    convert -size 40x40 xc:'#2060c0' "$dir/second.jpg"
    "$viewer" "$dir/first.jpg" "$dir/second.jpg" >/dev/null 2>&1 &
    local pid=$! window
    if ! window=$(wait_window "$dir/first.jpg"); then
        fail "no window titled with the first file"
        kill $pid 2>/dev/null
        rm -rf "$dir"
        return
    fi
    xdotool key --window "$window" less
    wait_window "$dir/second.jpg" >/dev/null || fail "'<' did not show the second file"
    xdotool key --window "$window" q
    for _ in $(seq 100); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 $pid 2>/dev/null; then
        fail "'q' did not quit"
        kill $pid
    fi
    wait $pid
    local status=$?
    [ $status -eq 0 ] || fail "exit status $status after 'q'"
    echo "checked: two files, '<' and 'q' -> exit $status"
    rm -rf "$dir"
}

# A PNM picture piped in as "-": the window takes that name, "q" quits with 0.
check_standard_input() {
    local dir
    dir=$(mktemp -d)
    convert -size 48x24 xc:'#30a050' "$dir/in.ppm"
    cat "$dir/in.ppm" | "$viewer" - >/dev/null 2>&1 &
    local pid=$! window
    if ! window=$(wait_window "-"); then
        fail "no window titled '-' for a picture on standard input"
        kill $pid 2>/dev/null
        wait $pid 2>/dev/null
        rm -rf "$dir"
        return
    fi
    xdotool key --window "$window" q
    for _ in $(seq 100); do
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 $pid 2>/dev/null; then
        fail "'q' did not quit the viewer reading standard input"
        kill $pid
    fi
    wait $pid
    local status=$?
    [ $status -eq 0 ] || fail "exit status $status after 'q' with standard input"
    echo "checked: picture on standard input -> title '-', exit $status"
    rm -rf "$dir"
}

check_start 640x512
check_start 1280x1024 -f
check_start 1280x1024 /f
check_start 640x512
check_two_files
check_standard_input

if [ $failures -eq 0 ]; then
    echo "6 passed, 0 failed"
else
    echo "$failures of 6 failed"
    exit 1
fi
