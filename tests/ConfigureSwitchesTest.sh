#!/usr/bin/env bash
# Configures the tree afresh as a machine without GoogleTest, dcraw and djpeg would: the tests
# switched off, GoogleTest refused if looked for, and the system program folders hidden from
# find_program (the build tools and pkg-config are passed in, as they live there too).
# Arguments: source folder, C compiler, C++ compiler, make program, ar, ranlib.
set -u
source=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake -S "$source" -B "$dir" -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    "-DCMAKE_IGNORE_PATH=/usr/bin;/bin;/usr/local/bin" -DCMAKE_C_COMPILER="$2" \
    -DCMAKE_CXX_COMPILER="$3" -DCMAKE_MAKE_PROGRAM="$4" -DCMAKE_AR="$5" -DCMAKE_RANLIB="$6" \
    -DPKG_CONFIG_EXECUTABLE="$(command -v pkg-config)" \
    >"$dir/configure.log" 2>&1
status=$?
[ $status -eq 0 ] || { cat "$dir/configure.log"; fail "configure exit status $status"; }
log=$(tr -s ' \n' ' ' <"$dir/configure.log")
for program in dcraw djpeg; do
    [[ $log == *"$program not found: raw previews will not open"* ]] ||
        fail "no warning for a missing $program"
done
[ ! -e "$dir/tests" ] || fail "tests configured with BUILD_TESTING=OFF"
[ ! -e "$dir/CTestTestfile.cmake" ] || fail "ctest file written with BUILD_TESTING=OFF"

cmake --build "$dir" --target outside-programs >"$dir/build.log" 2>&1 ||
    { cat "$dir/build.log"; fail "the outside-programs target failed"; }
for program in dcraw djpeg; do
    [ ! -e "$dir/bin/$program" ] || fail "a link to a missing $program was made"
done

if [ $failures -eq 0 ]; then
    echo "configured without GoogleTest, dcraw and djpeg"
else
    exit 1
fi
