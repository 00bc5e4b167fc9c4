#!/usr/bin/env bash
# Runs the sampling benchmark (see bench/README.md):
#   scripts/run_bench.sh [1m] [20m] [run_bench.py options, e.g. --workloads last-k --measured 1]
# Installs the extension in Release into the virtual environment (VORNLIB_VENV,
# default .venv), builds the bench module vornlib_bench in Release into
# build/bench, generates the synthetic graphs that are missing (bench/data/SIZE)
# and runs every workload on the sizes given (default: 1m and 20m).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_VENV:-$root/.venv}"
cd "$root"

sizes=()
options=()
for argument in "$@"; do
    case "$argument" in
        -*) options+=("$argument") ;;
        *) if [ "${#options[@]}" -eq 0 ]; then sizes+=("$argument"); else options+=("$argument"); fi ;;
    esac
done
[ "${#sizes[@]}" -eq 0 ] && sizes=(1m 20m)

if [ -n "${VORNLIB_CMAKE_DEFINES:-}" ]; then
    echo "warning: VORNLIB_CMAKE_DEFINES=$VORNLIB_CMAKE_DEFINES is passed to the extension build;" \
         "timings of a debug or sanitizer build mean nothing" >&2
fi

phase_started=$SECONDS
phase() {
    echo "[phase] $1: $((SECONDS - phase_started)) s"
    phase_started=$SECONDS
}

# make_venv.sh brings cmake, ninja and pybind11 (the dev group); numpy comes with the project itself.
"$root/scripts/make_venv.sh" "$venv"
phase "extension build (Release) into $venv"

# The bench module is built against the venv's own interpreter, in Release
# whatever the caller's environment says, so its timings are never a debug build's.
export PATH="$venv/bin:$PATH"
cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNLIB_SANITIZE=OFF \
    -DVORNLIB_BUILD_PYTHON=OFF -DVORNLIB_BUILD_TESTS=OFF -DVORNLIB_BUILD_BENCH=ON \
    -DPython_EXECUTABLE="$venv/bin/python" -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$root/build/bench" --target vornlib_bench
phase "bench module build (Release) into build/bench"

for size in "${sizes[@]}"; do
    "$venv/bin/python" -m vornlib_tools.synthetic --size "$size" --out "$root/bench/data/$size" --if-missing
done
phase "graph generation"

status=0
"$venv/bin/python" "$root/bench/run_bench.py" --bench-module "$root/build/bench" \
    "${sizes[@]}" ${options[@]+"${options[@]}"} || status=$?
phase "measurement"
exit "$status"
