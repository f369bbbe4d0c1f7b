#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what Tarnwick needs to build and test, then configures and builds it.
# Sourced by run.sh and test.sh; safe to run again: it installs only what is missing.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${TARNWICK_BUILD_DIR:-"$repo_root/build"}

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    xvfb xauth xdotool x11-utils fonts-dejavu-core desktop-file-utils
    python3 nginx-light apache2-bin clang libclang-rt-14-dev
    time curl
    lintian groff-base appstream
    # The page box with the desktop's own tools: an input method and the accessibility bus.
    ibus ibus-m17n m17n-db python3-pyatspi at-spi2-core dbus-x11 gsettings-desktop-schemas
)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing_packages() {
    local missing=()
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() {
    cmake -S "$repo_root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$build_dir" --parallel "$(nproc)"
}

install_missing_packages
