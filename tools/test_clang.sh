#!/usr/bin/env bash
# Builds the whole of velmor (core, both extension modules, the C++ tests) with clang and libc++
# instead of GCC and libstdc++, every warning of -Wall -Wextra an error, and runs the C++ tests
# and the pytest suite against that build (build/clang, the package laid out in
# build/clang/site). About 3 minutes on 2 cores.
#
#   bash tools/test_clang.sh [extra pytest arguments...]
#
# Installs Debian's clang, libc++ and GoogleTest's sources when missing (GoogleTest is built here
# against libc++: the host's libgtest-dev is built against libstdc++). Needs the package's test
# dependencies in PYTHON (tools/test.sh installs them). VELMOR_WARNINGS_AS_ERRORS=OFF lets
# warnings through.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
werror=${VELMOR_WARNINGS_AS_ERRORS:-ON}
out=build/clang

bash tools/apt-install.sh clang libc++-dev libc++abi-dev googletest

compilers=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++)
bash tools/googletest.sh "$out" "${compilers[@]}"

echo "== velmor with clang and libc++ ($out)"
interpreter=$("$python" -c 'import sys; print(sys.executable)')
cmake -S . -B "$out" -G Ninja "${compilers[@]}" -DPython_EXECUTABLE="$interpreter" \
  -DGTest_DIR="$(pwd)/$out/gtest/lib/cmake/GTest" -DVELMOR_BUILD_TESTS=ON \
  -DVELMOR_WARNINGS_AS_ERRORS="$werror" >/dev/null
cmake --build "$out" >"$out/build.log" 2>&1 || { cat "$out/build.log" >&2; exit 1; }
# _native's object holds all of velmor's C++; _engine's holds only PyInit__engine, which needs no
# C++ runtime at all.
for module in "$out"/_native*.so "$out"/_engine*.so; do
  if ldd "$module" | grep libstdc++ >/dev/null ||
     { [[ $module == */_native* ]] && ! ldd "$module" | grep 'libc++\.so' >/dev/null; }; then
    echo "$module is not linked against libc++ alone" >&2
    exit 1
  fi
done

echo "== C++ unit tests (clang, libc++)"
(cd "$out" && ctest --output-on-failure)

echo "== Python tests (clang, libc++)"
bash tools/lay-out-site.sh "$out"
cd tests
loaded=$(PYTHONPATH="../$out/site" "$interpreter" -c "import velmor.engine._engine as m; print(m.__file__)")
case "$loaded" in
  */"$out"/site/*) ;;
  *) echo "pytest would import $loaded, not the clang build" >&2; exit 1 ;;
esac
PYTHONPATH="../$out/site" "$interpreter" -m pytest -q -p no:cacheprovider "$@"
