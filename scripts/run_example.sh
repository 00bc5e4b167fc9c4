#!/usr/bin/env bash
# Builds the extension into the project's virtual environment and runs the
# main example (a temporal e-commerce graph: one sampled epoch and a picture).
# Arguments are passed to the example, e.g. --fanouts 32 16 8 --batch-size 1024.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_VENV:-$root/.venv}"
"$root/scripts/make_venv.sh" "$venv" demo
"$venv/bin/python" "$root/examples/relational_demo.py" "$@"
