#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds Tarnwick and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
configure_and_build
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build_dir" --output-on-failure --timeout 300
