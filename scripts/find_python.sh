#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: python3.13 on PATH first,
# then pyenv's installed versions. Fails with a clear message if none exists.
set -euo pipefail

is_python313() {
    "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' >/dev/null 2>&1
}

candidates=()
if command -v python3.13 >/dev/null 2>&1; then
    candidates+=("$(command -v python3.13)")
fi
for root in "${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv /opt/pyenv; do
    for exe in "$root"/versions/3.13*/bin/python3.13; do
        [ -x "$exe" ] && candidates+=("$exe")
    done
done
for exe in /usr/bin/python3.13 /usr/local/bin/python3.13; do
    [ -x "$exe" ] && candidates+=("$exe")
done

for exe in "${candidates[@]}"; do
    if is_python313 "$exe"; then
        echo "$exe"
        exit 0
    fi
done
echo "error: no CPython 3.13 interpreter found (looked for python3.13 on PATH and in pyenv's versions)" >&2
exit 1
