#!/usr/bin/env bash
# Builds everything and runs every test: the C++ unit tests (GoogleTest via
# CTest) and the pytest suite against the installed extension.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_VENV:-$root/.venv}"
cd "$root"

"$root/scripts/make_venv.sh" "$venv" test

if [ ! -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing GoogleTest (libgtest-dev) for the C++ unit tests"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
    else
        echo "error: GoogleTest headers missing; install libgtest-dev (sudo apt-get install libgtest-dev)" >&2
        exit 1
    fi
fi

export PATH="$venv/bin:$PATH"
cmake -S "$root" -B "$root/build/cpp-tests" -G Ninja -DVORNLIB_BUILD_PYTHON=OFF \
    -DVORNLIB_BUILD_TESTS=ON -DVORNLIB_WERROR=ON >/dev/null
cmake --build "$root/build/cpp-tests"
ctest --test-dir "$root/build/cpp-tests" --output-on-failure

"$venv/bin/python" -m pytest "$root/tests" "$@"
