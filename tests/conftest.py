"""Fixtures shared by the pytest suites; shared helpers live in helpers.py."""

import pytest

import vornlib
from helpers import timed_graph


@pytest.fixture
def timed_sampler():
    return vornlib.NeighborSampler(**timed_graph())
