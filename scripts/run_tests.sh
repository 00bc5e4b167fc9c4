#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests (GoogleTest via
# CTest) and the pytest suite against the installed extension, with the train
# extra (PyTorch and the recipe's libraries) so that the recipe's and the
# examples' tests run too, and the bench module the bench driver's tests call.
# GoogleTest comes from the system (scripts/install_system_packages.sh); CMake
# says if it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_VENV:-$root/.venv}"
cd "$root"

"$root/scripts/make_venv.sh" "$venv" test train

export PATH="$venv/bin:$PATH"
cmake -S "$root" -B "$root/build/cpp-tests" -G Ninja -DVORNLIB_BUILD_PYTHON=OFF \
    -DVORNLIB_BUILD_TESTS=ON -DVORNLIB_BUILD_BENCH=ON -DVORNLIB_WERROR=ON \
    -DPython_EXECUTABLE="$venv/bin/python" -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$root/build/cpp-tests"
ctest --test-dir "$root/build/cpp-tests" --output-on-failure

VORNLIB_BENCH_MODULE_DIR="$root/build/cpp-tests" "$venv/bin/python" -m pytest "$root/tests" "$@"
