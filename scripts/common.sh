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
