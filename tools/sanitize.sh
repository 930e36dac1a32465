#!/usr/bin/env bash
# Runs velmor's tests under sanitizers; any sanitizer report fails the run.
#
#   bash tools/sanitize.sh [tsan|asan|all] [extra pytest arguments...]     (default: all)
#
# tsan: velmor_core and the C++ tests built with ThreadSanitizer (build/tsan), run by ctest. Of
#       the threading tests, the RaceFree suite (no matrix row shared between chunks) runs with
#       nothing suppressed, the Hogwild suite with tests/tsan.supp, which covers only the
#       deliberate lock-free row updates.
# asan: the extension built with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan),
#       laid out with the Python package in build/asan/site, and the whole pytest suite run
#       against it by the ordinary interpreter with the sanitizer runtime preloaded. The
#       interpreter and NumPy are not instrumented; PYTHONMALLOC=malloc puts Python objects on
#       the sanitizer's heap, so reads past the end of an object are caught too.
#       AddressSanitizer writes its reports to build/asan/reports (so that one raised in a
#       subprocess of a test counts as well) and they are judged after the run: every memory
#       error fails it, a leak report only when memory allocated by the module's code is among
#       the leaks (the interpreter and other libraries leave some allocations behind at exit).
#       UndefinedBehaviorSanitizer, whose runtime ignores log_path when loaded beside ASan's,
#       writes to standard error and ends the process at its first report.
#
# Needs what tools/test.sh installs (GoogleTest, the package's test dependencies) and a GCC
# with its sanitizer runtimes (the runtimes preloaded are those of the compiler CMake chose).
# A compiler warning fails the build, unless VELMOR_WARNINGS_AS_ERRORS=OFF.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
werror=${VELMOR_WARNINGS_AS_ERRORS:-ON}
what=${1:-all}
[ $# -gt 0 ] && shift

# Builds quietly; shows the compiler's output only when the build fails.
build() {
  cmake --build "$1" >"$1/build.log" 2>&1 || { cat "$1/build.log" >&2; return 1; }
}

run_tsan() {
  echo "== ThreadSanitizer: C++ tests (build/tsan)"
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMOR_SANITIZE=thread -DVELMOR_BUILD_MODULE=OFF -DVELMOR_BUILD_TESTS=ON \
    -DVELMOR_WARNINGS_AS_ERRORS="$werror" >/dev/null
  build build/tsan
  # The options of each test (halt on the first report, suppressions) are set by ctest.
  (cd build/tsan && ctest --output-on-failure)
}

run_asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: pytest (build/asan)"
  # The interpreter itself, not a wrapper script (such as pyenv's shim) that would run under the
  # sanitizer too.
  local interpreter
  interpreter=$("$python" -c 'import sys; print(sys.executable)')
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMOR_SANITIZE=address,undefined -DPython_EXECUTABLE="$interpreter" \
    -DVELMOR_WARNINGS_AS_ERRORS="$werror" >/dev/null
  build build/asan

  local site=build/asan/site reports=build/asan/reports
  bash tools/lay-out-site.sh build/asan
  rm -rf "$reports"
  mkdir -p "$reports"
  local module
  for module in "$site"/velmor/engine/*.so; do
    # grep reads the whole listing: with -q it would stop at the first match, and nm, killed by
    # SIGPIPE, would fail the pipeline under pipefail.
    if command -v nm >/dev/null && ! nm -D --undefined-only "$module" | grep __asan_report >/dev/null; then
      echo "the extension $module is not instrumented" >&2
      exit 1
    fi
  done

  # The interpreter links no C++ runtime: libstdc++ is preloaded after the ASan runtime so that
  # ASan's interception of C++ throws finds the real one (else the first throw aborts).
  local cxx preload
  cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
  preload="$("$cxx" -print-file-name=libasan.so) $("$cxx" -print-file-name=libstdc++.so)"
  local status=0
  (
    cd tests
    export LD_PRELOAD="$preload"
    # exitcode=0: leaks are reported at every exit, the interpreter's too; reports are judged
    # from their files below, so a process's exit status need not carry them.
    export ASAN_OPTIONS="detect_leaks=1:exitcode=0:halt_on_error=1:check_initialization_order=1:log_path=$root/$reports/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export PYTHONMALLOC=malloc
    export PYTHONPATH="$root/$site"
    loaded=$("$interpreter" -c "import velmor.engine._engine as n; print(n.__file__)")
    case "$loaded" in
      "$root/$site"/*) ;;
      *) echo "pytest would import $loaded, not the instrumented build" >&2; exit 1 ;;
    esac
    "$interpreter" -m pytest -q -p no:cacheprovider "$@"
  ) || status=$?
  local report failed=0
  for report in "$reports"/*; do
    [ -e "$report" ] || continue
    if grep -q -e "ERROR: AddressSanitizer" -e "AddressSanitizer: CHECK failed" "$report" ||
       grep -q -e "velmor::" -e "_native\.abi3\.so+" -e "_engine\.abi3\.so+" "$report"; then
      echo "== $report" >&2
      cat "$report" >&2
      failed=1
    fi
  done
  [ "$failed" = 0 ] || exit 1
  return "$status"
}

case "$what" in
  tsan) run_tsan ;;
  asan) run_asan "$@" ;;
  all) run_tsan; run_asan "$@" ;;
  *) echo "usage: $0 [tsan|asan|all] [pytest arguments...]" >&2; exit 2 ;;
esac
