#!/usr/bin/env bash
# One command for the whole comparison with the peers:
#
#   bash bench/run.sh            # full run (about 40 minutes on 2 cores), rewrites bench/README.md
#   bash bench/run.sh --quick    # smoke run on karate and two small graphs, a couple of minutes
#
# Other options go to bench/harness/main.py (--help lists them). The first run creates
# bench/.venv from bench/requirements.txt; each run reinstalls velmor from this checkout into
# it (skip with VELMOR_BENCH_NO_INSTALL=1, e.g. together with --velmor-from-source).
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)
root=$(git -C "$bench" rev-parse --show-toplevel 2>/dev/null || dirname "$bench")
venv=$bench/.venv
python=${PYTHON:-python3}

want=$(sha256sum "$bench/requirements.txt" | cut -d' ' -f1)
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.requirements" 2>/dev/null)" != "$want" ]; then
  echo "creating $venv" >&2
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet -r "$bench/requirements.txt"
  echo "$want" > "$venv/.requirements"
fi

if [ -z "${VELMOR_BENCH_NO_INSTALL:-}" ]; then
  echo "installing velmor from $root" >&2
  # --no-deps: velmor's only dependency, numpy, is pinned above for the peers' sake.
  "$venv/bin/python" -m pip install --quiet --no-deps --force-reinstall "$root"
  # Which sources the installed velmor was built from, for the report ('+': uncommitted).
  rev=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
  if [ -n "$(git -C "$root" status --porcelain -- python CMakeLists.txt pyproject.toml 2>/dev/null)" ]; then
    rev="$rev+"
  fi
  echo "$rev" > "$venv/.velmor-revision"
fi

exec "$venv/bin/python" "$bench/harness/main.py" "$@"
