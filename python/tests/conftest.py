"""Fixtures of the Python suites: a seeded random generator and the built
dticut command (DTICUT_COMMAND, which CTest sets, or build/app/dticut)."""

import os
import pathlib

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def rng(request):
    # One seed per test, fixed, so that a failure reproduces; pytest shows
    # the test's name, from which the seed follows.
    return np.random.default_rng(sum(request.node.name.encode()))


@pytest.fixture(scope="session")
def command():
    path = os.environ.get("DTICUT_COMMAND") or str(ROOT / "build" / "app" / "dticut")
    if not os.access(path, os.X_OK):
        pytest.skip(f"the dticut command is not built ({path})")
    return path
