#!/usr/bin/env bash
# Run every benchmark against the installed package (or PYTHONPATH) and
# print the ratios.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
py="${PYTHON:-$here/../.venv/bin/python}"
cd "$here"
for b in bench_*.py; do
    echo "== $b"
    "$py" "$b"
done
