#!/usr/bin/env bash
# Creates (or reuses) a virtual environment from Python 3.13 and installs the
# project into it together with the extra groups given as arguments.
#   scripts/make_venv.sh VENV_DIR [extra ...]
# VORNLIB_BUILD_DIR keeps the CMake tree there between installs (incremental).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
# shellcheck source=common.sh
source "$here/common.sh"
venv="$1"; shift
extras="$(IFS=,; echo "$*")"

if [ ! -x "$venv/bin/python" ]; then
    python="$("$here/find_python.sh")"
    "$python" -m venv "$venv"
fi
run_pip "$venv" install --quiet --upgrade pip
spec="$root"
[ -n "$extras" ] && spec="$root[$extras]"
args=()
[ -n "${VORNLIB_BUILD_DIR:-}" ] && args+=(-C "build-dir=$VORNLIB_BUILD_DIR")
[ -n "${VORNLIB_CMAKE_DEFINES:-}" ] && args+=(-C "cmake.define.$VORNLIB_CMAKE_DEFINES")
run_pip "$venv" install --quiet "${args[@]}" "$spec"
"$venv/bin/python" -c 'import vornlib' || { echo "error: vornlib did not install into $venv" >&2; exit 1; }
