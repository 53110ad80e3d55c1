#!/usr/bin/env bash
# Set up the machine and the default venv (scripts/setup.sh default), then run the demo.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/envs.sh"
bash "$here/scripts/setup.sh" default
venv="$(velmor_envs "$here" | awk '$1 == "default" { print $2 }')"
exec "$venv/bin/python" "$here/examples/demo.py"
