#!/usr/bin/env bash
# Renders every page of the wizard, and the message boxes it shows, into
# docs/screenshots (offscreen, on stand-in disks). Builds the renderer in
# ./build first. Usage: tools/render_pages.sh [OUTPUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target lumivista-render-pages -j 2
QT_QPA_PLATFORM=offscreen ./build/src/app/lumivista-render-pages "$out"
