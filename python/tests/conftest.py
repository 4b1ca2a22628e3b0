"""Fixtures of the Python suites: a seeded random generator, the built
dticut command (DTICUT_COMMAND, which CTest sets, or build/app/dticut) and
the phantom generator built beside it, and dipy's small_64D written as a scan."""

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


def small_dwi(folder):
    """dipy's bundled small_64D as a user holds a scan: dwi.nii.gz with FSL's
    dwi.bval and dwi.bvec (three rows, one column a volume), the b = 0
    volumes' b-vectors 0 where dipy's file has NaN, which MRtrix3's fit
    would carry into every voxel."""
    import nibabel as nib

    dipy_data = pytest.importorskip("dipy.data")
    data, bvals, bvecs = dipy_data.get_fnames("small_64D")
    nib.save(nib.load(data), os.path.join(folder, "dwi.nii.gz"))
    np.savetxt(os.path.join(folder, "dwi.bval"), np.loadtxt(bvals)[None], fmt="%.17g")
    vectors = np.nan_to_num(np.loadtxt(bvecs), nan=0.0)
    np.savetxt(os.path.join(folder, "dwi.bvec"), vectors.T, fmt="%.17g")
