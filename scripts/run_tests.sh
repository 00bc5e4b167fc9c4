#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests (GoogleTest via
# CTest) and the pytest suite against the installed extension. GoogleTest comes
# from the system (scripts/install_system_packages.sh); CMake says if it is missing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_VENV:-$root/.venv}"
cd "$root"

"$root/scripts/make_venv.sh" "$venv" test

export PATH="$venv/bin:$PATH"
cmake -S "$root" -B "$root/build/cpp-tests" -G Ninja -DVORNLIB_BUILD_PYTHON=OFF \
    -DVORNLIB_BUILD_TESTS=ON -DVORNLIB_WERROR=ON >/dev/null
cmake --build "$root/build/cpp-tests"
ctest --test-dir "$root/build/cpp-tests" --output-on-failure

"$venv/bin/python" -m pytest "$root/tests" "$@"
