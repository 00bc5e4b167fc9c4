#!/usr/bin/env bash
# Creates (or reuses) a virtual environment from Python 3.13 and installs the
# project into it together with the extra groups given as arguments.
#   scripts/make_venv.sh [-C SETTING ...] VENV_DIR [extra ...]
# -C passes a build setting to pip, e.g. -C cmake.build-type=RelWithDebInfo.
# VORNLIB_BUILD_DIR keeps the CMake tree there between installs (incremental).
# pip itself is upgraded only when the venv is created.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
# shellcheck source=common.sh
source "$here/common.sh"
settings=()
while [ "${1:-}" = -C ]; do
    settings+=(-C "$2")
    shift 2
done
venv="$1"; shift
extras="$(IFS=,; echo "$*")"

if [ ! -x "$venv/bin/python" ]; then
    python="$("$here/find_python.sh")"
    "$python" -m venv "$venv"
    run_pip "$venv" install --quiet --upgrade pip
fi
spec="$root"
[ -n "$extras" ] && spec="$root[$extras]"
args=(${settings[@]+"${settings[@]}"})
[ -n "${VORNLIB_BUILD_DIR:-}" ] && args+=(-C "build-dir=$VORNLIB_BUILD_DIR")
[ -n "${VORNLIB_CMAKE_DEFINES:-}" ] && args+=(-C "cmake.define.$VORNLIB_CMAKE_DEFINES")
run_pip "$venv" install --quiet "${args[@]}" "$spec"
# Located, not imported: an instrumented build loads only with its sanitizer runtime preloaded.
"$venv/bin/python" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("vornlib") is None)' \
    || { echo "error: vornlib did not install into $venv" >&2; exit 1; }
