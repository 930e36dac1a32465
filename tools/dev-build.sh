#!/usr/bin/env bash
# Builds the extension in build/dev and drops it into python/velmor/engine/, so that
# `PYTHONPATH=python python -m pytest` runs against the working tree without a pip install.
# Extra arguments go to the CMake configure step (e.g. -DVELMOR_SANITIZE=address,undefined).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${VELMOR_BUILD_DIR:-build/dev}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$dir"
# Copy then rename: a process that has the old library loaded keeps its (unlinked) file intact.
for lib in "$dir"/_native*.so "$dir"/_engine*.so; do
  cp "$lib" "python/velmor/engine/.$(basename "$lib").tmp"
  mv -f "python/velmor/engine/.$(basename "$lib").tmp" "python/velmor/engine/$(basename "$lib")"
done
