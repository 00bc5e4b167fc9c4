#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: a python3.13 on PATH that is
# not a pyenv shim first, then the 3.13 versions pyenv reports (if pyenv is
# installed). Fails with a clear message if none exists.
#
# A shim is never run: it is a wrapper that picks an interpreter by the
# caller's pyenv settings, so what it runs depends on the current directory.
set -euo pipefail

is_python313() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

pyenv=""
if command -v pyenv >/dev/null 2>&1; then
    pyenv="$(command -v pyenv)"
elif [ -n "${PYENV_ROOT:-}" ] && [ -x "$PYENV_ROOT/bin/pyenv" ]; then
    pyenv="$PYENV_ROOT/bin/pyenv"
fi
pyenv_root="${PYENV_ROOT:-}"
if [ -n "$pyenv" ]; then
    pyenv_root="$("$pyenv" root)"
fi

# A shim is a file in a folder named shims under the pyenv root (pyenv's own,
# or a plugin's); when no pyenv is found, its shims folder sits beside
# libexec/pyenv.
pyenv_root_real="$( [ -n "$pyenv_root" ] && cd "$pyenv_root" 2>/dev/null && pwd -P || true)"
is_shim() {
    local dir
    dir="$(cd "$(dirname "$1")" && pwd -P)"
    [ "${dir##*/}" = shims ] || return 1
    if [ -n "$pyenv_root_real" ]; then
        case "$dir" in "$pyenv_root_real"/*) return 0 ;; esac
    fi
    [ -e "$dir/../libexec/pyenv" ]
}

candidates=()
while IFS= read -r exe; do
    [ -n "$exe" ] && ! is_shim "$exe" && candidates+=("$exe")
done < <(type -ap python3.13 || true)
if [ -n "$pyenv" ]; then
    while IFS= read -r version; do
        case "$version" in
            3.13 | 3.13.*) candidates+=("$pyenv_root/versions/$version/bin/python3.13") ;;
        esac
    done < <("$pyenv" versions --bare --skip-aliases 2>/dev/null || "$pyenv" versions --bare)
fi

for exe in ${candidates[@]+"${candidates[@]}"}; do
    if [ -x "$exe" ] && is_python313 "$exe"; then
        echo "$exe"
        exit 0
    fi
done
echo "error: no CPython 3.13 interpreter found (looked for python3.13 on PATH, pyenv shims skipped," \
     "and in the versions pyenv reports)" >&2
exit 1
