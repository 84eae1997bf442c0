#!/usr/bin/env bash
# Installs what is missing for building (and, with --tests, for testing; with
# --screenshot, for a picture of the program on a virtual display; with --docs, for the
# README's picture under a window manager) Kelvaria 500, then
# configures and builds it in ./build. Safe to run again: it installs and rebuilds only
# what is missing or changed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make qt6-base-dev qt6-base-dev-tools libgl-dev libfontconfig-dev libcups2-dev
          libpng-dev zlib1g-dev
          fonts-liberation2 fonts-dejavu-core)
if [ "${1:-}" = "--screenshot" ]; then
    packages+=(xvfb x11-utils imagemagick)
elif [ "${1:-}" = "--docs" ]; then
    packages+=(xvfb x11-utils imagemagick openbox xdotool)
elif [ "${1:-}" = "--tests" ]; then
    packages+=(xvfb xauth xdotool xclip x11-utils libx11-dev imagemagick poppler-utils file
               cups cups-client cups-bsd openbox e2fsprogs
               binutils-mingw-w64-x86-64 desktop-file-utils appstream dpkg-dev
               lintian xdg-utils weston qt6-wayland dbus at-spi2-core python3-pyatspi
               fuse3 python3-fusepy python3-xlib orca locales strace
               gir1.2-gnomedesktop-3.0 python3-gi bubblewrap libgdk-pixbuf2.0-bin)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Instalando: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    # Another installation may hold dpkg's lock for a while: wait for it.
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The tests are configured with --tests. Without it a new build folder leaves them out,
# and one that has them keeps them (the run command after the test command rebuilds
# nothing, and does not take the tests away while they run).
testing=()
if [ "${1:-}" = "--tests" ]; then
    testing=(-DBUILD_TESTING=ON)
elif [ ! -f build/CMakeCache.txt ]; then
    testing=(-DBUILD_TESTING=OFF)
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${testing[@]}" >/dev/null
cmake --build build -j"$(nproc)"
