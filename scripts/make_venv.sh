#!/usr/bin/env bash
# Creates (or reuses) a virtual environment from Python 3.13 and installs the
# project into it together with the extras given as arguments, and the
# developer tools of pyproject.toml's dev dependency group (cmake, ninja, pybind11, mypy).
#   scripts/make_venv.sh [-C SETTING ...] VENV_DIR [extra ...]
# -C passes a build setting to pip, e.g. -C cmake.build-type=RelWithDebInfo.
# VORNLIB_BUILD_DIR keeps the CMake tree there between installs (incremental).
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
fi
# Dependency groups need pip 25.1; the pip a venv starts with may be older.
if ! "$venv/bin/python" -c 'import sys, importlib.metadata as m
sys.exit(tuple(map(int, m.version("pip").split(".")[:2])) < (25, 1))'; then
    run_pip "$venv" install --quiet --upgrade "pip>=25.1"
fi
spec="$root"
[ -n "$extras" ] && spec="$root[$extras]"
args=(${settings[@]+"${settings[@]}"})
[ -n "${VORNLIB_BUILD_DIR:-}" ] && args+=(-C "build-dir=$VORNLIB_BUILD_DIR")
[ -n "${VORNLIB_CMAKE_DEFINES:-}" ] && args+=(-C "cmake.define.$VORNLIB_CMAKE_DEFINES")
run_pip "$venv" install --quiet "${args[@]}" --group "$root/pyproject.toml:dev" "$spec"
# Located, not imported: an instrumented build loads only with its sanitizer runtime preloaded.
"$venv/bin/python" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("vornlib") is None)' \
    || { echo "error: vornlib did not install into $venv" >&2; exit 1; }
