#!/usr/bin/env bash
# Builds and tests the project on every CPython 3.9+ this machine has: for
# each version a fresh virtual environment, `pip install '.[test]'` (a clean
# build of the extension for that interpreter) and the test suite.
#
#   tools/pythons.sh [pytest arguments...]   (default: -x -m "not slow")
#
# Interpreters are found under pyenv ($PYENV_ROOT/versions/*) and as
# python3.X on PATH; one per minor version (the newest patch release).  The
# version of the default `python3` is left out, since CI already runs the
# whole suite on it; PYTHONS_DEFAULT=1 includes it.  Versions from 3.9 to
# 3.13 that are not found are reported as skipped.
#
# PYTHONS_DIR     where the environments and logs go (default: a temporary
#                 directory, removed at exit)
# PYTHONS_JOBS    versions built and tested at once (default 2)
# PYTHONS_ONLY    minor versions to test, e.g. "3.9 3.13" (default: all found)
#
# One summary line per version; the exit status is non-zero when any
# version that is present fails to install or to pass.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
expected="3.9 3.10 3.11 3.12 3.13"
jobs="${PYTHONS_JOBS:-2}"
if [ $# -gt 0 ]; then
    pytest_args=("$@")
else
    pytest_args=(-x -m "not slow")
fi

if [ -n "${PYTHONS_DIR:-}" ]; then
    work="$PYTHONS_DIR"
    mkdir -p "$work"
else
    work="$(mktemp -d "${TMPDIR:-/tmp}/chromalens-pythons.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
fi

# "X.Y X.Y.Z path" for an interpreter that is CPython 3.9 or newer.
describe() {
    "$1" - <<'EOF' 2>/dev/null
import os, sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 9):
    v = sys.version_info
    print(f"{v[0]}.{v[1]} {v[0]}.{v[1]}.{v[2]} {os.path.realpath(sys.executable)}")
EOF
}

default_minor=""
if command -v python3 >/dev/null; then
    default_minor="$(describe python3 | cut -d' ' -f1)"
fi

# Candidates, then the newest patch release of each minor version; the same
# interpreter reached twice (a pyenv shim and its target) counts once.
candidates=()
for py in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
    [ -x "$py" ] && candidates+=("$py")
done
for minor in $(seq 9 20); do
    while read -r py; do candidates+=("$py"); done < <(type -ap "python3.$minor" || true)
done

declare -A chosen_version chosen_path
for py in "${candidates[@]}"; do
    read -r minor full path <<<"$(describe "$py")" || continue
    [ -n "${minor:-}" ] || continue
    current="${chosen_version[$minor]:-}"
    if [ -z "$current" ] || [ "$(printf '%s\n%s\n' "$current" "$full" | sort -V | tail -n 1)" != "$current" ]; then
        chosen_version[$minor]="$full"
        chosen_path[$minor]="$path"
    fi
done

# One version: environment, install, tests; the summary goes to $work/X.Y.line.
run_version() {
    local minor="$1" python="$2" full="$3"
    local venv="$work/venv-$minor" log="$work/$minor.log" started=$SECONDS status result
    {
        rm -rf "$venv"
        "$python" -m venv "$venv" &&
            "$venv/bin/python" -m pip install -q --upgrade pip &&
            (cd "$repo" && "$venv/bin/python" -m pip install -q '.[test]')
    } >"$log" 2>&1 || {
        echo "python $full: FAILED to install ($(( SECONDS - started ))s; log: $log)" >"$work/$minor.line"
        return 1
    }
    # The scikit-learn each Python gets differs (3.9's newest is older): say which.
    full="$full, scikit-learn $("$venv/bin/python" -c 'import sklearn; print(sklearn.__version__)' 2>/dev/null)"
    status=0
    (cd "$repo" && MPLBACKEND=Agg "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        --basetemp="$work/tmp-$minor" "${pytest_args[@]}") >>"$log" 2>&1 || status=$?
    result="$(grep -E '^(=+ )?([0-9]+ (passed|failed|errors?|skipped|deselected)|no tests ran)' "$log" |
        tail -n 1 | sed -E 's/^=+ //; s/ =+$//' || true)"
    if [ "$status" -eq 0 ]; then
        echo "python $full: ok, $result ($(( SECONDS - started ))s)" >"$work/$minor.line"
    else
        echo "python $full: FAILED (pytest exit $status), $result ($(( SECONDS - started ))s; log: $log)" \
            >"$work/$minor.line"
    fi
    return "$status"
}

selected=()
for minor in $(printf '%s\n' "${!chosen_version[@]}" $expected | sort -uV); do
    if [ -z "${chosen_version[$minor]:-}" ]; then
        echo "pythons.sh: python $minor: not found, skipped"
    elif [ -n "${PYTHONS_ONLY:-}" ] && [[ " $PYTHONS_ONLY " != *" $minor "* ]]; then
        echo "pythons.sh: python ${chosen_version[$minor]}: not in PYTHONS_ONLY, skipped"
    elif [ "$minor" = "$default_minor" ] && [ "${PYTHONS_DEFAULT:-0}" != 1 ]; then
        echo "pythons.sh: python ${chosen_version[$minor]}: the default python3, skipped (tested on its own)"
    else
        selected+=("$minor")
    fi
done
if [ ${#selected[@]} -eq 0 ]; then
    echo "pythons.sh: no other Python to test"
    exit 0
fi

echo "pythons.sh: testing ${selected[*]}, $jobs at a time, pytest ${pytest_args[*]} (in $work)"
# Each build gets its share of the cores.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(( ($(nproc) + jobs - 1) / jobs ))}"
started=$SECONDS
running=0
for minor in "${selected[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$(( running - 1 ))
    fi
    run_version "$minor" "${chosen_path[$minor]}" "${chosen_version[$minor]}" &
    running=$(( running + 1 ))
done
wait || true

failed=0
for minor in "${selected[@]}"; do
    line="$(cat "$work/$minor.line" 2>/dev/null || echo "python $minor: FAILED, no result")"
    echo "pythons.sh: $line"
    case "$line" in *": ok,"*) ;; *)
        failed=1
        tail -n 40 "$work/$minor.log" 2>/dev/null | sed "s/^/  [$minor] /"
        ;;
    esac
done
echo "pythons.sh: ${#selected[@]} versions in $(( SECONDS - started ))s"
exit "$failed"
