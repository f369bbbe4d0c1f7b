#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the fixed-size PNG icons from tarnwick.svg. The window icon is built from these,
# so the program needs no SVG support at run time. Run again after changing the drawing;
# needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
for size in 16 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" tarnwick.svg --output "png/tarnwick-$size.png"
done
