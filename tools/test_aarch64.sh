#!/usr/bin/env bash
# Builds velmor's core and its C++ tests for 64-bit ARM Linux with Debian's cross compiler and
# runs them under qemu-user: the update-path tests then check the NEON kernels, the threading
# tests the pool and the epoch driver on a weakly ordered processor. The Python extension is not
# built (no aarch64 interpreter here).
#
#   bash tools/test_aarch64.sh        (build/aarch64; about 3 minutes on 2 cores)
#
# Installs what it needs from Debian when missing: the cross compiler, qemu-user and
# GoogleTest's sources (built here with the cross compiler, as libgtest-dev is for the host).
# A compiler warning fails the build, unless VELMOR_WARNINGS_AS_ERRORS=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=${VELMOR_WARNINGS_AS_ERRORS:-ON}
out=build/aarch64
toolchain=$(pwd)/tools/aarch64-linux-gnu.cmake

bash tools/apt-install.sh g++-aarch64-linux-gnu qemu-user googletest

# Builds quietly; shows the compiler's output only when the build fails.
build() {
  cmake --build "$1" >"$1/build.log" 2>&1 || { cat "$1/build.log" >&2; return 1; }
}

bash tools/googletest.sh "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain"

echo "== velmor core and C++ tests for aarch64 ($out/tests)"
mkdir -p "$out/tests"
cmake -S . -B "$out/tests" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DGTest_DIR="$(pwd)/$out/gtest/lib/cmake/GTest" \
  -DVELMOR_BUILD_MODULE=OFF -DVELMOR_BUILD_TESTS=ON -DVELMOR_WARNINGS_AS_ERRORS="$werror" >/dev/null
build "$out/tests"
# The update-path tests take their tables from runnable_kernels(): the NEON table is linked into
# the test program only if that list holds it (a static library's object is pulled in by use).
if ! aarch64-linux-gnu-nm -C "$out/tests/tests/cpp/velmor_core_tests" |
    grep "velmor::kernels_neon::table" >/dev/null; then
  echo "the aarch64 build does not use the NEON kernels" >&2
  exit 1
fi
(cd "$out/tests" && ctest --output-on-failure)
