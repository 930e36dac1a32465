#!/usr/bin/env bash
# Formats the C++ sources (src/ and tests/cpp/) by .clang-format, with the clang-format that the
# test extras pin (pip install ".[test]"): another version may lay out the same code otherwise.
#
#   bash tools/format.sh            rewrite the files in place
#   bash tools/format.sh --check    change nothing; fail, showing where, if any file would change
#
# CLANG_FORMAT names another binary of the pinned version.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

mode=${1:-apply}
case "$mode" in
  apply | --check) ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

pinned=$(sed -n 's/.*"clang-format==\([0-9.]*\)".*/\1/p' pyproject.toml)
binary=${CLANG_FORMAT:-$("$python" -c 'import clang_format; print(clang_format.get_executable("clang-format"))' 2>/dev/null || true)}
if [ -z "$binary" ] || ! version=$("$binary" --version 2>/dev/null); then
  echo "clang-format $pinned is not installed: pip install clang-format==$pinned" >&2
  exit 2
fi
case "$version" in
  *" version $pinned"*) ;;
  *) echo "$binary is not clang-format $pinned: $version" >&2; exit 2 ;;
esac

mapfile -t files < <(find src tests/cpp -name '*.cpp' -o -name '*.hpp' | sort)
if [ "$mode" = --check ]; then
  "$binary" --dry-run --Werror "${files[@]}"
else
  "$binary" -i "${files[@]}"
fi
