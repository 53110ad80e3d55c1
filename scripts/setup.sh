#!/usr/bin/env bash
# Prepare this machine and the project's virtual environment: Debian packages
# for Tcl, TclX and tcllib, a venv with tkinter, the build and test tools, and the
# package itself. Safe to run again; quiet when everything is in place.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VELMOR_VENV:-$here/.venv}"

need=()
for pkg in tcl-dev tclx8.4 tcllib; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
pick_python() {
    for py in python3 /usr/bin/python3; do
        if command -v "$py" >/dev/null 2>&1 && "$py" -c "import tkinter, venv, ensurepip" 2>/dev/null; then
            echo "$py"; return 0
        fi
    done
    return 1
}
py="$(pick_python || true)"
# Debian's own Python with tkinter is the fallback when the default lacks it.
[ -n "$py" ] || need+=(python3 python3-tk python3-venv python3-dev)
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    [ -n "$py" ] || py="$(pick_python)"
fi

if [ ! -x "$venv/bin/python" ]; then
    "$py" -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$here/requirements-dev.txt"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation "$here"
