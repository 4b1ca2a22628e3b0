"""dticut.segment against the dticut command: the same float32 numbers are
written to NIfTI files and segmented by the built command, whose energies,
labels and limiting report segment must reproduce exactly."""

import re
import subprocess
import warnings

import numpy as np
import pytest

import dticut
from conftest import clean_env

nib = pytest.importorskip("nibabel")


def run_command(command, folder, evals, evecs, scalar, mask=None, energy=None, seeds=None,
                **weights):
    """The command's (energies, labels, limiting, warnings) on the dipy form of
    the arrays."""
    args = [command, "-o", str(folder / "labels.nii")]
    if energy is not None:
        args += ["--energy", energy]
    # The command's 4-D form of the eigenvectors: volume c + 3k is component
    # c of the eigenvector of eigenvalue k, as a Fortran-order reshape gives.
    evecs = np.reshape(evecs, evecs.shape[:3] + (9,), order="F")
    for name, array in (("evals", evals), ("evecs", evecs), ("scalar", scalar), ("mask", mask),
                        ("seeds", seeds)):
        if array is not None:
            path = folder / f"{name}.nii"
            nib.save(nib.Nifti1Image(np.asarray(array, dtype=np.float32), np.eye(4)), path)
            args += [f"--{name}", str(path)]
    for name, value in weights.items():
        args += ["--" + name.replace("_", "-"), repr(value)]
    done = subprocess.run(args, capture_output=True, text=True, check=True, env=clean_env())
    energies = [int(line.split("\t")[1]) for line in done.stdout.splitlines()]
    labels = np.asanyarray(nib.load(folder / "labels.nii").dataobj).reshape(scalar.shape)
    found = re.search(r"limited (\d+) pair weights and (\d+) data costs.*?(capped at (\d+)|no cap)",
                      done.stderr)
    limit = (0, 0, None)
    if found:
        limit = (int(found[1]), int(found[2]), None if found[4] is None else int(found[4]))
    # Its warnings, in the Python package's spelling of the data weight.
    said = [re.sub(r"--data-lambda (?=\d)", "data_lambda=", line[len("dticut: "):])
            .replace("--data-lambda", "data_lambda") for line in done.stderr.splitlines()
            if line.startswith("dticut: ") and not line.startswith("dticut: limited ")]
    return energies, labels, limit, said


def assert_same_as_command(command, folder, evals, evecs, scalar, mask=None, given=None,
                           energy=None, seeds=None, **weights):
    """`given` holds the arrays segment receives, when they differ in dtype or
    layout from the ones written (they round to the same float32)."""
    energies, labels, limit, said = run_command(command, folder, evals, evecs, scalar, mask,
                                                energy, seeds, **weights)
    arrays = given or (evals, evecs, scalar, mask)
    chosen = {"energy": energy, "seeds": seeds} if energy is not None else {}
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        result = dticut.segment(*arrays[:3], mask=arrays[3], **chosen, **weights)
    # The command's warnings of an empty result, as UserWarnings.
    assert [str(w.message) for w in warned] == said
    assert [result.energy_before, result.energy_after] == energies
    assert result.labels.dtype == np.uint8 and result.labels.shape == scalar.shape
    np.testing.assert_array_equal(result.labels, labels)
    assert (result.limited_pair_weights, result.limited_data_costs, result.cap) == limit
    return result


def random_fit(rng, shape, scale):
    evals = rng.uniform(0.0, 1.0, shape + (3,))
    evecs = rng.normal(size=shape + (3, 3))
    scalar = rng.uniform(0.0, scale, shape)
    return evals, evecs, scalar


def strided(array):
    """A view with the values of `array`, every other element of a larger one."""
    big = np.zeros(tuple(2 * n for n in array.shape), dtype=array.dtype)
    view = big[(slice(None, None, 2),) * array.ndim]
    view[...] = array
    return view


# name, shape, scalar range, masked, weights, what segment is given
CASES = [
    ("plain", (5, 4, 3), 3.0, False, {}, None),
    ("no data cost favours label 1", (4, 3, 3), 0.99, True, {}, None),
    ("masked", (6, 5, 4), 1.0, True, {"data_lambda": 100.0}, None),
    ("weighted", (4, 6, 5), 1.0, False,
     {"data_lambda": 37.5, "smooth_fa_lambda": 0.25, "smooth_principal_lambda": 3.0,
      "smooth_omnibus_lambda": 0.5}, None),
    ("float32 Fortran order", (7, 3, 4), 2.0, True, {"data_lambda": 10.0},
     lambda a: np.asfortranarray(a, dtype=np.float32)),
    ("strided views", (3, 5, 4), 2.0, False, {"data_lambda": 10.0}, strided),
]


@pytest.mark.parametrize("name,shape,scale,masked,weights,given", CASES, ids=[c[0] for c in CASES])
def test_segment_equals_the_command(command, tmp_path, rng, name, shape, scale, masked, weights,
                                    given):
    evals, evecs, scalar = random_fit(rng, shape, scale)
    mask = None
    if masked:
        mask = rng.choice([0.0, 1.0, -2.0, np.nan], size=shape, p=[0.3, 0.4, 0.2, 0.1])
    arrays = (evals, evecs, scalar, mask)
    if given is not None:
        arrays = tuple(None if a is None else given(a) for a in arrays)
    result = assert_same_as_command(command, tmp_path, evals, evecs, scalar, mask, arrays,
                                    **weights)
    # Every case but the data-free one has something to optimise.
    assert (result.energy_after < result.energy_before) == (name != CASES[1][0])
    if masked:
        assert not result.labels[~((mask != 0) & ~np.isnan(mask))].any()


def test_limiting_is_the_commands(command, tmp_path, rng):
    # Scalar sums of 0 give infinite pair weights (capped), values above 1
    # negative ones (set to 0), integer dtypes convert exactly.
    evals, evecs, _ = random_fit(rng, (5, 5, 4), 1.0)
    scalar = rng.choice([0, 0, 1, 3], size=(5, 5, 4)).astype(np.int16)
    result = assert_same_as_command(command, tmp_path, evals, evecs, scalar)
    assert result.limited_pair_weights > 0 and result.cap is not None


def test_a_dipy_fit_goes_straight_in(command, tmp_path):
    dipy_data = pytest.importorskip("dipy.data")
    from dipy.core.gradients import gradient_table
    from dipy.io.gradients import read_bvals_bvecs
    from dipy.reconst.dti import TensorModel

    data_path, bvals_path, bvecs_path = dipy_data.get_fnames("small_64D")
    data = nib.load(data_path).get_fdata()
    fit = TensorModel(gradient_table(*read_bvals_bvecs(bvals_path, bvecs_path))).fit(data)
    mask = data[..., 0] > 200
    result = assert_same_as_command(command, tmp_path, fit.evals, fit.evecs, fit.fa, mask,
                                    data_lambda=100.0)
    assert 0 < result.labels.sum() < mask.sum()
    # The tensor energy on the same fit, seeded with the most and the least
    # anisotropic voxels inside the mask (zero background fits are
    # undefined tensors: not segmented).
    order = np.argsort(np.where(mask, fit.fa, np.nan), axis=None)
    seeds = np.zeros(mask.shape)
    seeds.flat[order[:int(mask.sum())][-5:]] = 1
    seeds.flat[order[:5]] = 2
    (tmp_path / "tensor").mkdir()
    result = assert_same_as_command(command, tmp_path / "tensor", fit.evals, fit.evecs, fit.fa,
                                    mask, energy="tensor", seeds=seeds)
    assert (result.labels[seeds == 1] == 1).all() and (result.labels[seeds == 2] == 0).all()
    assert 5 <= result.labels.sum() < mask.sum()


def volumes(shape=(3, 2, 2), **changed):
    arrays = {"evals": np.ones(shape + (3,)), "evecs": np.ones(shape + (3, 3)),
              "scalar": np.ones(shape), "mask": None}
    arrays.update(changed)
    return arrays


@pytest.mark.parametrize("arguments,error,message", [
    (volumes(scalar=np.ones((2, 3, 2))), ValueError,
     "scalar: dimensions 2 x 3 x 2 differ from the 3 x 2 x 2 of evals"),
    (volumes(evecs=np.ones((3, 2, 1, 3, 3))), ValueError,
     "evecs: dimensions 3 x 2 x 1 differ from the 3 x 2 x 2 of evals"),
    (volumes(mask=np.ones((3, 2))), ValueError, "mask: shape 3 x 2, expected X x Y x Z"),
    (volumes(evals=np.ones((3, 2, 2, 2))), ValueError,
     "evals: shape 3 x 2 x 2 x 2, expected X x Y x Z x 3"),
    (volumes(shape=(1, 1, 1)), ValueError,
     "evals: has 1 voxel (1 x 1 x 1), the segmentation needs at least 2"),
    (volumes(mask=np.arange(12).reshape(3, 2, 2) == 7), ValueError,
     "mask: has 1 voxel inside (non-zero and not NaN) of 12, the segmentation needs at least 2"),
    (volumes(data_lambda=float("nan")), ValueError,
     "data_lambda needs a finite single-precision number, got nan"),
    (volumes(smooth_omnibus_lambda=1e39), ValueError,
     "smooth_omnibus_lambda needs a finite single-precision number, got 1e+39"),
    (volumes(smooth_fa_lambda=1e-50), ValueError,
     "smooth_fa_lambda needs a finite single-precision number, got 1e-50"),
    (volumes(scalar=np.ones((3, 2, 2), dtype=complex)), TypeError, "scalar: dtype complex128"),
    (volumes(evecs="not an array"), TypeError, "evecs: dtype <U12"),
    (volumes(data_lamda=100), TypeError, "segment() got an unexpected keyword argument 'data_lamda'"),
    (volumes(data_lambda="100"), TypeError, "data_lambda: str is not a number"),
    (volumes(affines=[np.eye(4)] * 2), ValueError,
     "affines: expected a sequence of 3 4 x 4 arrays, one for each of evals, evecs, scalar"),
    (volumes(affines=[np.eye(4), np.eye(4), np.diag([1, 1, 1.001, 1])]), ValueError,
     "scalar: its voxel-to-world transform (affine) differs from that of evals (affine) by up to 0 "
     "mm in position and 0.001 in rotation and scaling"),
])
def test_refusals(arguments, error, message):
    with pytest.raises(error) as raised:
        dticut.segment(**arguments)
    assert str(raised.value).startswith(message)


def test_tensor_energy_with_seeds_is_the_command(command, tmp_path, rng):
    """energy='tensor' with seeds gives the command's --energy tensor --seeds
    result, in float64 and C order as a fit holds them; its weights are
    refused with the scalar energy, and seeds with it."""
    evals, evecs, scalar = random_fit(rng, (6, 5, 4), 1.0)
    evals = evals * 2e-3
    seeds = np.zeros((6, 5, 4))
    seeds[0, :, 0], seeds[5, :, 3] = 1, 2
    mask = rng.uniform(size=(6, 5, 4)) > 0.2
    mask[seeds > 0] = True
    result = assert_same_as_command(command, tmp_path, evals, evecs, scalar, mask,
                                    energy="tensor", seeds=seeds, region_lambda=2.0,
                                    boundary_lambda=0.5)
    assert (result.labels[seeds == 1] == 1).all() and (result.labels[seeds == 2] == 0).all()
    with pytest.raises(ValueError, match="boundary_lambda weighs the tensor energy"):
        dticut.segment(evals, evecs, scalar, boundary_lambda=2.0)
    with pytest.raises(ValueError, match="pass energy='tensor'"):
        dticut.segment(evals, evecs, scalar, seeds=seeds)
    with pytest.raises(ValueError, match="seeds: voxel \\(0, 0, 0\\) holds 4"):
        dticut.segment(evals, evecs, scalar, energy="tensor", seeds=seeds + 3 * (seeds == 1))


def test_weights_and_geometry_follow_the_command(command, tmp_path):
    """A weight is read by the command's rule: the largest float32, given as
    the double Python holds, is taken as the command takes its text. Affines
    within a thousandth of a voxel agree; beyond, ignore_geometry warns."""
    arrays = volumes(shape=(3, 2, 2))
    arrays["scalar"] = np.linspace(0, 1, 12).reshape(3, 2, 2)
    largest = float(np.finfo(np.float32).max)
    result = dticut.segment(**arrays, data_lambda=100, smooth_fa_lambda=largest)
    assert_same_as_command(command, tmp_path, arrays["evals"], arrays["evecs"], arrays["scalar"],
                           None, data_lambda=100, smooth_fa_lambda=largest)
    near = np.eye(4)
    near[:3, 3] = 0.0009
    assert dticut.segment(**arrays, data_lambda=100, smooth_fa_lambda=largest,
                          affines=[np.eye(4), np.eye(4), near]).energy_after == result.energy_after
    near[0, 3] = 0.002
    with pytest.warns(UserWarning, match="segmenting anyway"):
        dticut.segment(**arrays, data_lambda=100, affines=[np.eye(4)] * 2 + [near],
                       ignore_geometry=True)
