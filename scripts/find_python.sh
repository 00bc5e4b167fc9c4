#!/usr/bin/env bash
# Prints the path of a CPython 3.13: python3.13 on PATH, else pyenv's 3.13
# install (PYENV_ROOT, default ~/.pyenv). A pyenv shim never counts: it picks
# the interpreter by the caller's directory and settings, so venvs made from it
# would depend on where a script was started.
set -euo pipefail
for exe in $(type -ap python3.13) "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
    case "$exe" in */shims/*) continue ;; esac
    [ -x "$exe" ] && { echo "$exe"; exit 0; }
done
echo "error: no CPython 3.13 found (python3.13 on PATH, not a pyenv shim, or a pyenv 3.13 version)" >&2
exit 1
