# Shell helpers shared by the project's scripts; source it, do not run it.

# Runs pip in the given venv quietly; on failure shows its output and stops,
# so a failed build never leaves an older installed extension looking fresh.
#   run_pip VENV pip-arguments...
run_pip() {
    local venv="$1" log status=0
    shift
    log="$(mktemp)"
    "$venv/bin/python" -m pip --disable-pip-version-check "$@" >"$log" 2>&1 || status=$?
    grep -v '^WARNING: Location' "$log" >&2 || true
    rm -f "$log"
    if [ "$status" -ne 0 ]; then
        echo "error: pip $1 failed (exit $status)" >&2
        exit "$status"
    fi
}

# Makes sure the GoogleTest headers and libraries are installed (Debian package).
ensure_gtest() {
    [ -f /usr/include/gtest/gtest.h ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: GoogleTest headers missing; install libgtest-dev (sudo apt-get install libgtest-dev)" >&2
        exit 1
    fi
    echo "installing GoogleTest (libgtest-dev) for the C++ unit tests"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
}
