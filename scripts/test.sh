#!/usr/bin/env bash
# Set up the machine and the venv (scripts/setup.sh), then run the whole test
# suite against the installed package.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
cd "$here"
exec "$here/.venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
