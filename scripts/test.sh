#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets everything up on a fresh Debian 12 machine, builds Tarnwick and runs every test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
configure_and_build
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build_dir" --output-on-failure --timeout 300

# The whole suite again, built with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# (the first report fails the test that made it), then each fuzz target for a fixed number
# of inputs over its seed corpus.
sanitize_dir=${TARNWICK_SANITIZE_BUILD_DIR:-"$repo_root/build-sanitize"}
build_dir="$sanitize_dir" configure_and_build -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON
export UBSAN_OPTIONS=print_stacktrace=1
ctest --test-dir "$sanitize_dir" --output-on-failure --timeout 600 --label-exclude fuzz
ctest --test-dir "$sanitize_dir" --output-on-failure --timeout 600 --label-regex fuzz
