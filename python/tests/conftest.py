"""Fixtures of the Python suites: a seeded random generator, the built
dticut command (DTICUT_COMMAND, which CTest sets, or build/app/dticut) and
the phantom generator built beside it."""

import os
import pathlib

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def command_path():
    return os.environ.get("DTICUT_COMMAND") or str(ROOT / "build" / "app" / "dticut")


def clean_env():
    """The environment for the built programs: a sanitizer build's programs
    carry their own runtime, so without the one preloaded into Python."""
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


@pytest.fixture
def rng(request):
    # One seed per test, fixed, so that a failure reproduces; pytest shows
    # the test's name, from which the seed follows.
    return np.random.default_rng(sum(request.node.name.encode()))


@pytest.fixture(scope="session")
def command():
    path = command_path()
    if not os.access(path, os.X_OK):
        pytest.skip(f"the dticut command is not built ({path})")
    return path


@pytest.fixture(scope="session")
def phantom_tool(command):
    path = os.path.join(os.path.dirname(os.path.dirname(command)), "tools", "phantom",
                        "dticut-phantom")
    if not os.access(path, os.X_OK):
        pytest.skip(f"the phantom generator is not built ({path})")
    return path
