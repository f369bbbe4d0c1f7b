#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets everything up on a fresh Debian 12 machine and opens the Tarnwick window.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
configure_and_build
exec "$build_dir/app/tarnwick"
