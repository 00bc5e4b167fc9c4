#!/usr/bin/env bash
# Builds the extension into the project's virtual environment and runs the main example.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_VENV:-$root/.venv}"
"$root/scripts/make_venv.sh" "$venv" demo
"$venv/bin/python" "$root/examples/quickstart.py" "$@"
