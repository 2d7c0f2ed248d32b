#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake option CHROMALENS_SANITIZE=ON) into a virtual environment of its
# own, then runs the test suite under it with the compiler's ASan runtime
# preloaded into the interpreter.
#
#   tools/sanitize.sh [pytest arguments...]      (default: the whole suite)
#
# SANITIZE_VENV and SANITIZE_BUILD_DIR choose where the environment and the
# incremental build live; CXX chooses the compiler whose runtime is preloaded
# (it must be the one CMake builds with).  Any sanitizer report stops the run
# with a non-zero exit status.
set -euo pipefail

repo="$(cd "$(dirname "$0")/.." && pwd)"
venv="${SANITIZE_VENV:-${TMPDIR:-/tmp}/chromalens-sanitize-venv}"
build="${SANITIZE_BUILD_DIR:-${TMPDIR:-/tmp}/chromalens-sanitize-build}"
cxx="${CXX:-c++}"

if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv "$venv"
fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/pip" install -q scikit-build-core pybind11 cmake ninja
# The project's own dependencies and test extra, as pyproject.toml names them.
"$venv/bin/pip" install -q --no-build-isolation -Cbuild-dir="$build" \
    -Ccmake.define.CHROMALENS_SANITIZE=ON "$repo[test]"

# The instrumented module cannot even be imported without the runtime, so
# it is found on disk and checked for the sanitizer libraries it needs.
module="$(ls "$venv"/lib/python3*/site-packages/chromalens/color_extractor_cy*.so | head -n 1)"
if ! readelf -d "$module" | grep -q 'libasan'; then
    echo "sanitize.sh: $module is not built with AddressSanitizer" >&2
    exit 2
fi

runtime=""
for lib in libasan.so libubsan.so; do
    path="$("$cxx" -print-file-name="$lib")"
    if [ ! -e "$path" ]; then
        echo "sanitize.sh: $cxx has no $lib (install the compiler's sanitizer runtime)" >&2
        exit 2
    fi
    runtime="$runtime${runtime:+ }$(readlink -f "$path")"
done

echo "sanitize.sh: running the tests with LD_PRELOAD=$runtime" >&2
cd "$repo"
# The interpreter's own allocator would hide heap errors from ASan; leak
# detection is off because the interpreter keeps its objects at exit.
env LD_PRELOAD="$runtime" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:halt_on_error=1}" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}" \
    MPLBACKEND=Agg \
    "$venv/bin/pytest" -p no:cacheprovider "$@"
