"""The C++ tests' build finds GoogleTest, falls back to Debian's sources, or
stops with the package to install, rather than failing deep in compilation."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DEBIAN_SOURCES = Path("/usr/src/googletest")
# cmake comes with the dev dependency group; the release suite has no CMakeLists.txt.
CMAKE = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
pytestmark = [pytest.mark.slow,
              pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").is_file(),
                                 reason="needs cmake and the project's CMakeLists.txt")]


def configure(build_dir: Path, *defines: str) -> subprocess.CompletedProcess[str]:
    # No installed GoogleTest is looked for, so both fallbacks run whatever this machine has.
    return subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(build_dir), "-DVORNLIB_BUILD_PYTHON=OFF",
                           "-DVORNLIB_BUILD_TESTS=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", *defines],
                          capture_output=True, text=True, timeout=300,
                          # Under run_sanitized.sh the sanitizer runtime is preloaded for the
                          # extension; CMake and the compilers it probes need none of it.
                          env={name: value for name, value in os.environ.items() if name != "LD_PRELOAD"})


def test_without_an_installed_gtest_the_build_uses_sources_or_names_the_package(tmp_path):
    missing = configure(tmp_path / "missing", f"-DVORNLIB_GTEST_SOURCE_DIR={tmp_path / 'none'}")
    assert missing.returncode != 0
    message = " ".join(missing.stderr.split())
    assert "libgtest-dev" in message and str(tmp_path / "none") in message, missing.stderr
    if not (DEBIAN_SOURCES / "CMakeLists.txt").is_file():
        pytest.skip(f"no GoogleTest sources in {DEBIAN_SOURCES}")
    built = configure(tmp_path / "sources")
    assert built.returncode == 0, built.stdout + built.stderr
    assert f"GoogleTest: building the sources in {DEBIAN_SOURCES}" in built.stdout
