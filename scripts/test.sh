#!/usr/bin/env bash
# Set up (scripts/setup.sh), then run every check and fail if any fails:
#   format      clang-format --dry-run -Werror over src/ext
#   <python>    the whole suite on each venv of scripts/envs.sh (default, 3.10,
#               3.12, ..., min): two xdist workers, random order with a fixed
#               seed per venv, hypothesis' large "ci" budget; all built with
#               -Wall -Wextra -Werror
#   asan        the suite and the demo with the modules built under the address
#               and undefined-behaviour sanitizers; any report fails the job
#   typecheck   the stubs against the built modules, mypy --strict on examples
#
#   bash scripts/test.sh [pytest args]     every job; arguments go to each pytest run
#   VELMOR_ONLY="3.12 format" bash scripts/test.sh    only the jobs named
#   VELMOR_SEED=N        one random-order seed for every suite run
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
source "$here/scripts/envs.sh"
export VELMOR_WERROR=1

read -r -a only <<<"${VELMOR_ONLY:-}"
selected() {
    [ ${#only[@]} -eq 0 ] && return 0
    local o
    for o in "${only[@]}"; do [ "$o" = "$1" ] && return 0; done
    return 1
}

envs="$(velmor_envs "$here")"
venv_of() { awk -v n="$1" '$1 == n { print $2 }' <<<"$envs"; }

# Set up only what the selected jobs use.
setup_names=()
while read -r name _; do
    if selected "$name" || { [ "$name" = default ] && { selected format || selected typecheck; }; }; then
        setup_names+=("$name")
    fi
done <<<"$envs"
if [ ${#setup_names[@]} -eq 0 ] && ! selected format && ! selected typecheck; then
    echo "test.sh: no job named: ${only[*]}" >&2
    echo "jobs: format $(cut -d' ' -f1 <<<"$envs" | tr '\n' ' ')typecheck" >&2
    exit 2
fi
if ! bash "$here/scripts/setup.sh" "${setup_names[@]}"; then
    echo "test.sh: setup failed" >&2
    exit 1
fi

results=()
status=0
record() { # name rc seconds
    local verdict=passed
    [ "$2" = 0 ] || { verdict="FAILED (exit $2)"; status=1; }
    results+=("$(printf '%-10s %-18s %5ss' "$1" "$verdict" "$3")")
}
banner() { printf '\n==== %s\n' "$*"; }

seed_for() {
    if [ -n "${VELMOR_SEED:-}" ]; then echo "$VELMOR_SEED"; return; fi
    printf '%s' "$1" | cksum | awk '{ print $1 % 100000 }'
}

run_suite() { # name venv [env assignments...] -- pytest args
    local name="$1" venv="$2" seed
    seed="$(seed_for "$name")"
    banner "[$name] pytest on $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])'), 2 workers, --randomly-seed=$seed"
    VELMOR_HYPOTHESIS_PROFILE="${VELMOR_HYPOTHESIS_PROFILE:-ci}" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider -p xdist -n 2 \
        -p randomly --randomly-seed="$seed" "${@:3}" </dev/null
}

if selected format; then
    banner "[format] clang-format --dry-run -Werror src/ext"
    start=$SECONDS
    "$(venv_of default)/bin/clang-format" --dry-run -Werror src/ext/*.cpp src/ext/*.h
    rc=$?
    [ $rc = 0 ] && echo "format: all files formatted"
    record format $rc $((SECONDS - start))
fi

while read -r name venv _; do
    [ "$name" = asan ] && continue
    selected "$name" || continue
    start=$SECONDS
    run_suite "$name" "$venv" "$@"
    record "$name" $? $((SECONDS - start))
done <<<"$envs"

if selected asan && [ -n "$(venv_of asan)" ]; then
    venv="$(venv_of asan)"
    logs="$here/build/sanitizer-logs"
    rm -rf "$logs" && mkdir -p "$logs"
    start=$SECONDS
    # Python itself is not instrumented: the runtime must be loaded first,
    # and libstdc++ with it so that exceptions thrown from the modules
    # reach the runtime's interceptor. Reports go to files (any process,
    # xdist workers and test subprocesses included), so none is missed.
    (
        export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
        export PYTHONMALLOC=malloc
        export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$logs/asan"
        export LSAN_OPTIONS="suppressions=$here/scripts/lsan.supp:print_suppressions=0"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
        VELMOR_HYPOTHESIS_PROFILE="${VELMOR_HYPOTHESIS_PROFILE:-dev}" run_suite asan "$venv" "$@"
        suite=$?
        banner "[asan] examples/demo.py"
        "$venv/bin/python" examples/demo.py >"$logs/demo.out" 2>&1
        demo=$?
        [ $demo = 0 ] && echo "demo: ran to the end" || cat "$logs/demo.out"
        [ $suite = 0 ] && [ $demo = 0 ]
    )
    rc=$?
    reports=$(find "$logs" -name 'asan.*' -o -name 'ubsan.*' | sort)
    if [ -n "$reports" ]; then
        banner "[asan] sanitizer reports"
        for f in $reports; do echo "--- $f"; head -60 "$f"; done
        rc=1
    else
        echo "asan: no sanitizer report"
    fi
    record asan $rc $((SECONDS - start))
fi

if selected typecheck; then
    banner "[typecheck] stubtest and mypy --strict"
    start=$SECONDS
    PYTHON="$(venv_of default)/bin/python" bash "$here/scripts/typecheck"
    record typecheck $? $((SECONDS - start))
fi

banner "summary"
printf '%s\n' "${results[@]}"
if [ $status = 0 ]; then echo "ALL CHECKS PASSED"; else echo "SOME CHECKS FAILED"; fi
exit $status
