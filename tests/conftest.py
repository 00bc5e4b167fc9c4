"""Fixtures shared by the pytest suites; shared helpers live in helpers.py."""

import signal

import pytest

import vornlib
from helpers import timed_graph

# A shell starts background jobs with SIGINT ignored, and Python then leaves it
# ignored, as does every process it starts. The Ctrl+C tests need the handler a
# terminal session has; a handler (unlike "ignored") resets to the default in
# each child at exec, so children get Ctrl+C as they would in a terminal.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def timed_sampler():
    return vornlib.NeighborSampler(**timed_graph())
