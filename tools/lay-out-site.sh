#!/usr/bin/env bash
# Lays out the Python package with the extension modules of a CMake build in BUILD_DIR/site, for
# running the pytest suite against that build with PYTHONPATH=BUILD_DIR/site.
#
#   bash tools/lay-out-site.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
site=$1/site
rm -rf "$site"
mkdir -p "$site"
cp -r python/velmor "$site/"
find "$site" \( -name __pycache__ -o -name '*.so' \) -prune -exec rm -rf {} +
cp "$1"/_native*.so "$1"/_engine*.so "$site/velmor/engine/"
