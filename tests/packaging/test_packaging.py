"""The installed distribution: its version, its licence and the files it ships."""

import importlib.metadata
import tomllib
from importlib.machinery import EXTENSION_SUFFIXES
from pathlib import Path

import pytest

import vornlib

PROJECT_FILE = Path(__file__).resolve().parents[2] / "pyproject.toml"
EXTENSION = "vornlib" + EXTENSION_SUFFIXES[0]


@pytest.fixture(scope="module")
def distribution():
    return importlib.metadata.distribution("vornlib")


def recorded_files(distribution):
    return {path.as_posix(): path for path in distribution.files}


def test_version_is_read_from_the_metadata_only(distribution):
    project = tomllib.loads(PROJECT_FILE.read_text())["project"]
    assert importlib.metadata.version("vornlib") == project["version"]
    assert not hasattr(vornlib, "__version__")


@pytest.mark.parametrize("path", [EXTENSION, "vornlib-stubs/__init__.pyi", "vornlib_tools/__init__.py",
                                  "vornlib_tools/recipe/__init__.py", "vornlib_tools/recipe/__main__.py"])
def test_distribution_ships(distribution, path):
    assert path in recorded_files(distribution), f"{path} is missing from the installed distribution"
    assert distribution.locate_file(path).is_file()


def test_imported_module_is_the_installed_extension(distribution):
    assert Path(vornlib.__file__).resolve() == Path(distribution.locate_file(EXTENSION)).resolve()


def test_licence_is_named_and_its_text_ships(distribution):
    assert distribution.metadata.get("License-Expression") == "MIT"
    names = distribution.metadata.get_all("License-File") or []
    assert names, "no License-File in the metadata"
    files = recorded_files(distribution)
    for name in names:
        shipped = [path for key, path in files.items() if key.endswith(f".dist-info/licenses/{name}")]
        assert len(shipped) == 1, f"licence file {name} is not in the installed metadata"
        assert shipped[0].read_text().strip()
