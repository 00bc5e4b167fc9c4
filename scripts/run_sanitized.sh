#!/usr/bin/env bash
# Builds the extension and the C++ unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ tests, the whole pytest suite
# and the fuzz tests against them. Any sanitizer report fails the run.
#   scripts/run_sanitized.sh [pytest args ...]
# VORNLIB_SANITIZE_VENV  venv for the instrumented build (default .venv-sanitize)
# VORNLIB_FUZZ_EXAMPLES  hypothesis examples per fuzz test (default: the suite's own)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VORNLIB_SANITIZE_VENV:-$root/.venv-sanitize}"
cd "$root"

# ---- instrumented extension in its own venv --------------------------------
# Debug info keeps sanitizer stacks readable; the build dir makes reruns incremental.
extension_build="$root/build/python-sanitize"
VORNLIB_BUILD_DIR="$extension_build" "$root/scripts/make_venv.sh" \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.VORNLIB_SANITIZE=ON "$venv" test

# ---- sanitizer runtime and options -----------------------------------------
# The runtimes come from the compiler CMake built the extension with.
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$extension_build/CMakeCache.txt")"
if [ -z "$compiler" ]; then
    echo "error: no CMAKE_CXX_COMPILER in $extension_build/CMakeCache.txt" >&2
    exit 1
fi
runtime_of() {
    local path
    path="$("$compiler" -print-file-name="$1")"
    if [ ! -e "$path" ]; then
        echo "error: $2 runtime not found ($compiler -print-file-name=$1)" >&2
        exit 1
    fi
    readlink -f "$path"
}
libasan="$(runtime_of libasan.so AddressSanitizer)"
# Python itself does not link libstdc++; unless it is loaded before the
# extension, ASan cannot find the real __cxa_throw and every C++ throw aborts.
libstdcxx="$(runtime_of libstdc++.so "C++ standard library")"
reports="$(mktemp -d)"
trap 'rm -rf "$reports"' EXIT
# Reports go to files as well as failing the process, so that nothing a child
# process or a swallowed exit status reports can go unnoticed.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
asan_common="abort_on_error=0:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
asan_common="$asan_common:check_initialization_order=1:log_path=$reports/asan"

fail_on_reports() {
    if compgen -G "$reports/*" >/dev/null; then
        echo "error: sanitizer reports during $1:" >&2
        cat "$reports"/* >&2
        exit 1
    fi
}

# ---- C++ unit tests under the sanitizers ------------------------------------
# GoogleTest comes from the system (scripts/install_system_packages.sh).
export PATH="$venv/bin:$PATH"
cmake -S "$root" -B "$root/build/cpp-sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORNLIB_BUILD_PYTHON=OFF -DVORNLIB_BUILD_TESTS=ON -DVORNLIB_SANITIZE=ON -DVORNLIB_WERROR=ON >/dev/null
cmake --build "$root/build/cpp-sanitize"
echo "== C++ unit tests (ASan + UBSan, leak checking on)"
status=0
ASAN_OPTIONS="$asan_common:detect_leaks=1" "$root/build/cpp-sanitize/vornlib_cpp_tests" --gtest_brief=1 \
    || status=$?
fail_on_reports "the C++ unit tests"
[ "$status" -eq 0 ] || exit "$status"

# ---- pytest suite, fuzz tests included --------------------------------------
# The interpreter is not instrumented, so the runtime must be loaded first.
# CPython keeps objects alive at exit on purpose: leak checking stays off here.
# PYTHONMALLOC=malloc routes Python objects through ASan's allocator, so a
# freed object the extension still uses is caught as well.
echo "== pytest suite (ASan + UBSan preloaded)"
status=0
LD_PRELOAD="$libasan:$libstdcxx" ASAN_OPTIONS="$asan_common:detect_leaks=0" PYTHONMALLOC=malloc \
    "$venv/bin/python" -m pytest "$root/tests" -p no:cacheprovider "$@" || status=$?
fail_on_reports "the pytest suite"
[ "$status" -eq 0 ] || exit "$status"
echo "sanitizers: no reports"
