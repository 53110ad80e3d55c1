#!/usr/bin/env bash
# Run every benchmark against the installed package (or PYTHONPATH) and
# print the ratios.  Exits non-zero when a benchmark missed a goal (every
# benchmark still runs).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
py="${PYTHON:-$here/../.venv/bin/python}"
cd "$here"
status=0
for b in bench_*.py; do
    echo "== $b"
    "$py" "$b" || status=1
done
exit $status
