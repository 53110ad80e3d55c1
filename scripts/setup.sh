#!/usr/bin/env bash
# Prepare this machine and the project's virtual environments: Debian packages
# for Tcl, TclX and tcllib, then one venv per CPython >= 3.10 found (through
# pyenv or on PATH), each with the build and test tools and the package
# itself; one venv with the minimum build versions on the oldest CPython; one
# with the modules built under the address and undefined-behaviour
# sanitizers. Safe to run again: builds are incremental (build/venv-<name>).
#
#   scripts/setup.sh [name ...]     names from scripts/envs.sh: default 3.10
#                                   3.12 3.13 min asan ... (default: all)
#   VELMOR_WERROR=1                 compile with -Wall -Wextra -Werror
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/envs.sh"
pip_q=(-q --disable-pip-version-check)

need=()
for pkg in tcl-dev tclx8.4 tcllib; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
# Debian's own Python with tkinter is the fallback when the default lacks it.
velmor_default_python >/dev/null || need+=(python3 python3-tk python3-venv python3-dev)
if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

wanted=("$@")
is_wanted() {
    [ ${#wanted[@]} -eq 0 ] && return 0
    local w
    for w in "${wanted[@]}"; do [ "$w" = "$1" ] && return 0; done
    return 1
}

# The build requirements of pyproject.toml, each ">=" turned into "==": the
# minimum versions the project claims, installed exactly.
minimum_constraints() {
    "$1" - "$here/pyproject.toml" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
requires = re.search(r"^requires\s*=\s*\[(.*?)\]", text, re.S | re.M).group(1)
for req in re.findall(r'"([^"]+)"', requires):
    print(req.replace(">=", "=="))
PY
}

setup_env() {
    local name="$1" venv="$2" py="$3"
    local defines=(-C "build-dir=$here/build/venv-$name")
    [ "${VELMOR_WERROR:-0}" = 1 ] && defines+=(-C cmake.define.VELMOR_WERROR=ON)
    if [ ! -x "$venv/bin/python" ]; then
        "$py" -m venv "$venv"
    fi
    local vpy="$venv/bin/python"
    # pip >= 23.1 passes -C settings to the build backend.
    "$vpy" -m pip install "${pip_q[@]}" --upgrade "pip>=23.1" >/dev/null
    local reqs=(-r "$here/requirements-dev.txt")
    case "$name" in
    min)
        minimum_constraints "$vpy" >"$here/build/minimum-constraints.txt"
        reqs+=(-c "$here/build/minimum-constraints.txt")
        ;;
    asan)
        defines+=(-C cmake.define.VELMOR_SANITIZE=ON -C cmake.build-type=RelWithDebInfo)
        ;;
    esac
    "$vpy" -m pip install "${pip_q[@]}" "${reqs[@]}"
    "$vpy" -m pip install "${pip_q[@]}" --no-build-isolation "${defines[@]}" "$here"
}

mkdir -p "$here/build"
found=0
while read -r name venv py; do
    is_wanted "$name" || continue
    found=1
    setup_env "$name" "$venv" "$py"
done < <(velmor_envs "$here")
if [ "$found" = 0 ]; then
    echo "setup.sh: no environment named: ${wanted[*]}" >&2
    echo "available: $(velmor_envs "$here" | cut -d' ' -f1 | tr '\n' ' ')" >&2
    exit 2
fi
