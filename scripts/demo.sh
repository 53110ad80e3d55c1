#!/usr/bin/env bash
# Set up the machine and the venv (scripts/setup.sh), then run the demo.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
exec "$here/.venv/bin/python" "$here/examples/demo.py"
