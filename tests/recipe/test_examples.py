"""The sampling examples run as a user runs them, on small graphs."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("tqdm")
pytest.importorskip("matplotlib")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SMALL = ["--customers", "2000", "--products", "200", "--transactions", "20000"]


def run(script: str, *arguments: str) -> str:
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *arguments], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("workers", ["0", "1"])
def test_demo_samples_an_epoch_and_draws_a_seed(tmp_path, workers):
    picture = tmp_path / "subgraph.png"
    out = run("relational_demo.py", *SMALL, "--fanouts", "4", "2", "--workers", workers, "--out", str(picture))
    assert "seeds in" in out and "Throughput" in out
    assert picture.stat().st_size > 10_000


def test_parallel_sampling_gives_the_batches_of_one_process(tmp_path):
    report = tmp_path / "report.json"
    out = run("parallel_sampling.py", *SMALL, "--workers", "2", "--data-dir", str(tmp_path / "graph"),
              "--json", str(report))
    assert "the batches are the same" in out
    assert json.loads(report.read_text())["same_batches"] is True
