#!/usr/bin/env bash
# Installs velmor with its test dependencies, lints the sources (ruff check; the C++ layout by
# tools/format.sh --check) and runs every test: the C++ unit tests (GoogleTest, run by ctest), the
# pytest suite against the installed package, then both again under sanitizers
# (tools/sanitize.sh: ThreadSanitizer on the C++ tests, AddressSanitizer and
# UndefinedBehaviorSanitizer on the pytest suite). VELMOR_SANITIZERS=tsan, asan or none narrows
# the last step. Every build here fails on a compiler warning; VELMOR_WARNINGS_AS_ERRORS=OFF
# lets one with a compiler newer than CI's through.
# Before the sanitizers, the other platforms: a clang + libc++ build with its tests, the aarch64
# build under qemu and the wheel (tools/test_clang.sh, tools/test_aarch64.sh,
# tools/build_wheel.sh); VELMOR_PLATFORMS=none skips them.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
export VELMOR_WARNINGS_AS_ERRORS=${VELMOR_WARNINGS_AS_ERRORS:-ON}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest (libgtest-dev)"
  if [ "$(id -u)" = 0 ]; then apt_get="apt-get"; else apt_get="sudo apt-get"; fi
  $apt_get update -qq
  DEBIAN_FRONTEND=noninteractive $apt_get install -y -qq libgtest-dev >/dev/null
fi

echo "== installing velmor and its test dependencies, and Ray"
"$python" -m pip install --quiet --upgrade pip
# With Ray, so that the cluster tests run (the rest of the suite does not need it).
"$python" -m pip install --quiet ".[test,ray]" \
  --config-settings=cmake.define.VELMOR_WARNINGS_AS_ERRORS="$VELMOR_WARNINGS_AS_ERRORS"

echo "== lint: ruff check, and the C++ layout (tools/format.sh --check)"
"$python" -m ruff check --quiet .
PYTHON="$python" bash tools/format.sh --check

echo "== C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DVELMOR_BUILD_MODULE=OFF -DVELMOR_BUILD_TESTS=ON \
  -DVELMOR_WARNINGS_AS_ERRORS="$VELMOR_WARNINGS_AS_ERRORS" >/dev/null
cmake --build build/cpp-tests >build/cpp-tests/build.log 2>&1 ||
  { cat build/cpp-tests/build.log >&2; exit 1; }
(cd build/cpp-tests && ctest --output-on-failure)

echo "== Python tests"
# Run from the tests folder so that the installed package, not the source tree, is imported.
(cd tests && "$python" -m pytest -q -p no:cacheprovider)

# Other platforms: the whole package built with clang and libc++ (its C++ and pytest suites), the
# core's C++ tests built for aarch64 and run under qemu, and the manylinux wheel, audited and
# installed where there is no compiler. VELMOR_PLATFORMS=none skips them.
if [ "${VELMOR_PLATFORMS:-all}" != none ]; then
  PYTHON="$python" bash tools/test_clang.sh
  bash tools/test_aarch64.sh
  PYTHON="$python" bash tools/build_wheel.sh
fi

sanitizers=${VELMOR_SANITIZERS:-all}
if [ "$sanitizers" != none ]; then
  PYTHON="$python" bash tools/sanitize.sh "$sanitizers"
fi
