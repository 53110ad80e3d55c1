#!/usr/bin/env bash
# Set up the machine and the venv (scripts/setup.sh), then run the whole test
# suite and the type checks against the installed package.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
cd "$here"
"$here/.venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
# The stubs against the installed modules; examples and README under mypy --strict.
PYTHON="$here/.venv/bin/python" bash "$here/scripts/typecheck"
