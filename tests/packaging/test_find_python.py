"""scripts/find_python.sh names the interpreter every venv is made from: never a
pyenv shim, whose choice depends on the directory a script starts in."""

import shutil
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "find_python.sh"
# The release suite runs a copy of the tests without the scripts.
pytestmark = pytest.mark.skipif(not SCRIPT.is_file(), reason="scripts/ is not beside the tests")


def fake_python(directory: Path) -> str:
    """An executable named python3.13 (the script only locates it, never runs it)."""
    directory.mkdir(parents=True)
    exe = directory / "python3.13"
    exe.write_text("#!/bin/sh\nexit 0\n")
    exe.chmod(0o755)
    return str(exe)


def find(path: list[Path], home: Path, pyenv_root: Path | None = None) -> subprocess.CompletedProcess[str]:
    # PATH holds only the given folders, so no interpreter of the machine running the test interferes.
    env = {"PATH": ":".join(map(str, path)), "HOME": str(home)}
    if pyenv_root is not None:
        env["PYENV_ROOT"] = str(pyenv_root)
    return subprocess.run([shutil.which("bash"), str(SCRIPT)], env=env, capture_output=True, text=True)


def test_find_python_prefers_path_skips_shims_and_falls_back_to_pyenv(tmp_path):
    home = tmp_path / "home"
    root = home / ".pyenv"
    shims = root / "shims"
    plugin_shims = root / "plugins" / "pyenv-virtualenv" / "shims"
    fake_python(shims)
    fake_python(plugin_shims)
    installed = fake_python(root / "versions" / "3.13.1" / "bin")
    system = fake_python(tmp_path / "usr" / "bin")

    # A real python3.13 on PATH wins, even behind shims.
    assert find([plugin_shims, shims, tmp_path / "usr" / "bin"], home).stdout == system + "\n"
    # Only shims on PATH: pyenv's own 3.13, from the default root and from PYENV_ROOT.
    assert find([plugin_shims, shims], home).stdout == installed + "\n"
    moved = fake_python(tmp_path / "elsewhere" / "versions" / "3.13.0" / "bin")
    assert find([shims], home, tmp_path / "elsewhere").stdout == moved + "\n"
    # Nothing but shims: a failure that says what was looked for, and no path.
    result = find([shims], home, tmp_path / "empty")
    assert (result.returncode, result.stdout) == (1, "")
    assert "python3.13" in result.stderr and "shim" in result.stderr
