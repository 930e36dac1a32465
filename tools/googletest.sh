#!/usr/bin/env bash
# Builds GoogleTest from Debian's sources (/usr/src/googletest, package googletest) with the
# compiler and flags that CMake is given, and installs it under DIR/gtest, unless already there.
# For builds that cannot link the host's libgtest-dev: another architecture, another standard
# library.
#
#   bash tools/googletest.sh DIR [CMake arguments...]
#
# Then configure velmor with -DGTest_DIR=DIR/gtest/lib/cmake/GTest.
set -euo pipefail
dir=$(realpath -m "$1")
shift
[ -f "$dir/gtest/lib/cmake/GTest/GTestConfig.cmake" ] && exit 0
echo "== GoogleTest ($dir/gtest)"
mkdir -p "$dir/googletest"
cmake -S /usr/src/googletest -B "$dir/googletest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$dir/gtest" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON "$@" >/dev/null
cmake --build "$dir/googletest" --target install >"$dir/googletest/build.log" 2>&1 ||
  { cat "$dir/googletest/build.log" >&2; exit 1; }
