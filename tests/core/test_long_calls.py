"""Long calls under control, as a user meets them: Ctrl+C (SIGINT sent from
outside) stops a running call within moments, a call too big for a memory
cap raises MemoryError, and afterwards the sampler continues exactly as one
that never failed. Each case runs long_call_child.py in its own process."""

import json
import os
import signal
import sys
import time
from pathlib import Path

import pytest

from helpers import UNDER_ASAN, ChildGroup

CHILD = Path(__file__).resolve().parents[1] / "long_call_child.py"
# A call stops within milliseconds of the signal. The bound leaves room for a
# loaded machine and is still far below the uninterrupted call's length
# (tens of seconds).
LAG_BOUND = 1.0
SIGNAL_DELAY = 0.3  # after the child announces the call, so that it is running


def run_child(mode, interrupt):
    sent = None
    with ChildGroup([sys.executable, str(CHILD), mode]) as child:
        if interrupt:
            assert child.line(60) == "started"
            time.sleep(SIGNAL_DELAY)
            sent = time.monotonic()  # the same clock in both processes
            os.kill(child.pid, signal.SIGINT)
        returncode, output, errors = child.finish(600)
    assert returncode == 0, output + errors
    report = json.loads(output.splitlines()[-1])
    if sent is not None:
        report["lag"] = report["ended"] - sent
        report["handled"] = [t - sent for t in report.get("handled", [])]
    return report


@pytest.mark.parametrize("mode, raised", [("interrupt", "KeyboardInterrupt"), ("own-exception", "Stop")])
def test_a_signal_whose_handler_raises_stops_the_call(mode, raised):
    report = run_child(mode, interrupt=True)
    assert report["outcome"] == raised
    assert report["lag"] < LAG_BOUND, f"the call stopped {report['lag']:.2f} s after the signal"
    assert report["continues_exactly"]


def test_a_handler_that_returns_lets_the_call_finish_unchanged():
    report = run_child("handler-returns", interrupt=True)
    assert report["outcome"] == "returned"
    assert report["result_exact"] and report["continues_exactly"]
    # The handler ran during the call, not after it.
    [handled] = report["handled"]
    assert handled < LAG_BOUND and report["lag"] - handled > 0.1, report


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit breaks ASan's shadow memory")
def test_a_call_beyond_a_memory_cap_raises_memory_error_and_the_sampler_stays_exact():
    report = run_child("memory-cap", interrupt=False)
    assert report == {"outcome": "MemoryError", "moderate_fits": True, "continues_exactly": True}
