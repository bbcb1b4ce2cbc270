#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG. The PNGs are committed, so the
# build needs neither this script nor its tools (librsvg2-bin, imagemagick).
set -euo pipefail
icons=$(cd "$(dirname "$0")/../src/shell/icons" && pwd)
for size in 16 24 32 48 256; do
    rsvg-convert --width "$size" --height "$size" "$icons/quillmark.svg" \
        | /usr/bin/convert - -strip PNG32:"$icons/quillmark-$size.png"
done
