# Sourced by setup.sh and test.sh: the project's virtual environments.
#
# velmor_envs prints one line per environment, "name venv python":
#   default   .venv         the default python3 (Debian's with tkinter as fallback);
#                           .venv-3.N instead when .venv is a link to a shared venv
#   3.N       .venv-3.N     every other CPython >= 3.10 that pyenv (or PATH) has
#   min       .venv-min     the oldest of them, with the minimum build versions
#   asan      .venv-asan    the default python3, modules built with the sanitizers
# Only interpreters with tkinter, venv and ensurepip count.

velmor_usable_python() {
    "$1" -c "import sys, tkinter, venv, ensurepip; sys.exit(sys.version_info < (3, 10))" \
        >/dev/null 2>&1
}

velmor_default_python() {
    local py
    for py in python3 /usr/bin/python3; do
        if command -v "$py" >/dev/null 2>&1 && velmor_usable_python "$py"; then
            command -v "$py"
            return 0
        fi
    done
    return 1
}

# "minor path" for every usable CPython >= 3.10, newest patch release per
# minor version, oldest minor first.
velmor_all_pythons() {
    local v py minor
    {
        if command -v pyenv >/dev/null 2>&1; then
            for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$'); do
                py="$(pyenv prefix "$v" 2>/dev/null)/bin/python3"
                [ -x "$py" ] && echo "$v $py"
            done
        fi
        for minor in 10 11 12 13 14 15; do
            py="$(command -v "python3.$minor" 2>/dev/null || true)"
            # pyenv shims answer for versions that are not active: skip them.
            case "$py" in "" | */shims/*) continue ;; esac
            echo "3.$minor.0 $py"
        done
    } | sort -t. -k1,1n -k2,2n -k3,3nr -u | while read -r v py; do
        velmor_usable_python "$py" || continue
        echo "${v%.*} $py"
    done | awk '!seen[$1]++'
}

velmor_envs() {
    local here="$1" default dminor minor py oldest=""
    default="$(velmor_default_python || true)"
    if [ -n "$default" ]; then
        dminor="$("$default" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
        # A .venv that links elsewhere is shared with other work trees: the
        # tests install the package, so they get a venv of their own.
        if [ -L "$here/.venv" ]; then
            echo "default $here/.venv-$dminor $default"
        else
            echo "default $here/.venv $default"
        fi
    fi
    while read -r minor py; do
        [ -n "$minor" ] || continue
        [ -n "$oldest" ] || oldest="$py"
        [ "$minor" = "${dminor:-}" ] && continue
        echo "$minor $here/.venv-$minor $py"
    done < <(velmor_all_pythons)
    [ -n "$oldest" ] || oldest="$default"
    [ -n "$oldest" ] && echo "min $here/.venv-min $oldest"
    [ -n "$default" ] && echo "asan $here/.venv-asan $default"
    return 0
}
