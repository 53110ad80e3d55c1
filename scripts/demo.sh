#!/usr/bin/env bash
# Set up the machine and the default venv (scripts/setup.sh default), then run the demo.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh" default
exec "$here/.venv/bin/python" "$here/examples/demo.py"
