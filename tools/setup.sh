#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing, then builds.
# Runs as root; does nothing to the package system when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake pkg-config
    qtbase5-dev libqt5opengl5-dev libqt5svg5-dev libqt5svg5
    libglew-dev libglu1-mesa-dev libgl1-mesa-dri
    libboost-filesystem-dev libboost-system-dev libboost-dev
    cimg-dev libjpeg-dev libpng-dev libtiff-dev libglm-dev libfmt-dev
    libgtest-dev googletest
    dcraw libjpeg-turbo-progs
    xvfb xauth xdotool x11-utils openbox imagemagick
    imagemagick-6.q16hdri libstb-dev pfstools clang libclang-rt-14-dev
    libopenimageio-dev openimageio-tools libopenexr-dev libexiv2-dev exiv2
    libimage-exiftool-perl
    desktop-file-utils appstream shared-mime-info libxml2-utils libglib2.0-bin
    libegl-dev libegl-mesa0 dpkg-dev file
    libavif-dev libavif-bin libheif-dev libheif-examples libjxl-dev libjxl-tools
    libraw-dev libraw-bin liblcms2-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"
