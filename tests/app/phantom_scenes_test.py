"""dticut-phantom's scenes and simulated fits against independent references.

The truth and seed maps are checked voxel for voxel against a plain numpy
re-derivation of the geometry and strokes that the usage text states; the
exact tensors against the stated eigenvalues and fibre directions. Files
are read with nibabel.
"""

import os
import subprocess

import nibabel as nib
import numpy as np
import pytest

SCENES = ["touching90", "touching60", "curved", "crossing"]
SHAPE = (21, 18, 11)
BUNDLE = np.array([1.7e-3, 0.3e-3, 0.3e-3])


def phantom(folder, *args):
    """Runs the phantom into `folder`; returns the lines it printed."""
    command = os.environ.get("PHANTOM_COMMAND")
    if not command or not os.access(command, os.X_OK):
        pytest.skip("PHANTOM_COMMAND does not name the built dticut-phantom")
    proc = subprocess.run([command, *args, str(folder)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def load(path):
    return np.asarray(nib.load(str(path)).dataobj)


def read_fit(folder, gz=""):
    """The dipy layout's files: eigenvalues (..., 3), eigenvectors (..., set, xyz), FA."""
    evals = load(folder / f"dti_evals.nii{gz}").astype(np.float64)
    evecs = load(folder / f"dti_evecs.nii{gz}").astype(np.float64)
    evecs = evecs.reshape(evecs.shape[:3] + (3, 3))
    return evals, evecs, load(folder / f"dti_scalar.nii{gz}").astype(np.float64)


def tensors(evals, evecs):
    """sum_k evals[k] v_k v_k^T per voxel."""
    return np.einsum("...k,...ki,...kj->...ij", evals, evecs, evecs)


def fa_of(evals):
    a, b, c = evals[..., 0], evals[..., 1], evals[..., 2]
    norm = (evals**2).sum(-1)
    return np.sqrt(0.5 * ((a - b) ** 2 + (b - c) ** 2 + (c - a) ** 2) / np.where(norm > 0, norm, 1))


def geometry(scene, shape):
    """The stated geometry at the voxel centres: head, bundle 1 and 2 masks and
    their fibre directions (arrays of shape (..., 3))."""
    X, Y, Z = shape
    x, y, z = np.meshgrid(*(np.arange(n) + 0.5 for n in shape), indexing="ij")
    head = ((x / X - 0.5) / 0.45) ** 2 + ((y / Y - 0.5) / 0.45) ** 2 + ((z / Z - 0.5) / 0.45) ** 2 <= 1
    ones, zeros = np.ones(shape), np.zeros(shape)
    r = max(1.5, 0.1 * min(shape))
    if scene.startswith("touching"):
        box = (x >= 0.25 * X) & (x <= 0.75 * X) & (z >= 0.25 * Z) & (z <= 0.75 * Z)
        b1 = box & (y >= 0.35 * Y) & (y < 0.5 * Y)
        b2 = box & (y >= 0.5 * Y) & (y < 0.65 * Y)
        angle = np.radians(90 if scene == "touching90" else 60)
        d1 = np.stack([ones, zeros, zeros], -1)
        d2 = np.stack([np.cos(angle) * ones, zeros, np.sin(angle) * ones], -1)
    elif scene == "curved":
        cx, cy, cz = x - 0.5 * X, y - 0.35 * Y, z - 0.5 * Z
        rho = np.hypot(cx, cy)
        b1 = (cy >= 0) & ((rho - 0.3 * min(X, Y)) ** 2 + cz**2 <= r * r)
        b2 = np.zeros(shape, bool)
        d1 = np.stack([-cy, cx, zeros], -1) / np.where(rho > 0, rho, 1)[..., None]
        d2 = d1
    else:
        b1 = (y - 0.5 * Y) ** 2 + (z - 0.5 * Z) ** 2 <= r * r
        b2 = (x - 0.5 * X) ** 2 + (z - 0.5 * Z) ** 2 <= r * r
        d1 = np.stack([ones, zeros, zeros], -1)
        d2 = np.stack([zeros, ones, zeros], -1)
    return head, b1 & head, b2 & head, d1, d2


def strokes(scene, shape):
    """The stated strokes: (centre, direction, label, region)."""
    X, Y, Z = shape
    ex, ey = (1, 0, 0), (0, 1, 0)
    if scene.startswith("touching"):
        d2 = (0, 0, 1) if scene == "touching90" else (0.5, 0, np.sqrt(0.75))
        return [((0.4 * X, 0.425 * Y, 0.4 * Z), ex, 1, "structure"),
                ((0.6 * X, 0.425 * Y, 0.6 * Z), ex, 1, "structure"),
                ((0.4 * X, 0.575 * Y, 0.6 * Z), d2, 2, "neighbour"),
                ((0.6 * X, 0.575 * Y, 0.4 * Z), d2, 2, "neighbour"),
                ((0.5 * X, 0.25 * Y, 0.5 * Z), ex, 2, "background"),
                ((0.5 * X, 0.75 * Y, 0.5 * Z), ex, 2, "background"),
                ((0.15 * X, 0.5 * Y, 0.5 * Z), ey, 2, "background")]
    if scene == "curved":
        c = np.array([0.5 * X, 0.35 * Y, 0.5 * Z])
        R, r = 0.3 * min(X, Y), max(1.5, 0.1 * min(shape))
        along = [(c + R * np.array([np.cos(a), np.sin(a), 0]), (-np.sin(a), np.cos(a), 0), 1, "structure")
                 for a in np.radians([30, 90, 150])]
        return along + [(c + (0, dy, 0), ex, 2, "background") for dy in (0.25 * R, R + 2 * r, -2 * r)]
    return [((0.3 * X, 0.5 * Y, 0.5 * Z), ex, 1, "structure"),
            ((0.7 * X, 0.5 * Y, 0.5 * Z), ex, 1, "structure"),
            ((0.5 * X, 0.3 * Y, 0.5 * Z), ey, 2, "neighbour"),
            ((0.5 * X, 0.7 * Y, 0.5 * Z), ey, 2, "neighbour"),
            ((0.3 * X, 0.3 * Y, 0.5 * Z), ex, 2, "background"),
            ((0.7 * X, 0.7 * Y, 0.5 * Z), ey, 2, "background"),
            ((0.5 * X, 0.5 * Y, 0.75 * Z), ex, 2, "background")]


def expected_seeds(scene, shape):
    head, b1, b2, _, _ = geometry(scene, shape)
    region = {"structure": b1, "neighbour": b2 & ~b1, "background": head & ~b1 & ~b2}
    seeds = np.zeros(shape, np.uint8)
    for centre, direction, label, where in strokes(scene, shape):
        step = np.array(direction, float) / np.abs(direction).max()
        kept = 0
        for t in range(-2, 3):
            v = tuple(np.floor(np.array(centre) + t * step).astype(int))
            if all(0 <= v[a] < shape[a] for a in range(3)) and region[where][v]:
                seeds[v] = label
                kept += 1
        assert kept >= 3, (scene, centre)
    return seeds


@pytest.mark.parametrize("scene", SCENES)
def test_exact_scene_matches_its_stated_geometry(tmp_path, scene):
    printed = phantom(tmp_path, "--scene", scene, "--size", "x".join(map(str, SHAPE)),
                      "--layout", "dipy", "--gzip", "--seed", "5")
    assert printed == ["--evals", f"{tmp_path}/dti_evals.nii.gz", "--evecs", f"{tmp_path}/dti_evecs.nii.gz",
                       "--scalar", f"{tmp_path}/dti_scalar.nii.gz"]
    head, b1, b2, d1, d2 = geometry(scene, SHAPE)
    truth, seeds = load(tmp_path / "dti_truth.nii.gz"), load(tmp_path / "dti_seeds.nii.gz")
    assert truth.dtype == np.uint8 and seeds.dtype == np.uint8
    np.testing.assert_array_equal(truth, b1.astype(np.uint8))
    np.testing.assert_array_equal(seeds, expected_seeds(scene, SHAPE))

    evals, evecs, fa = read_fit(tmp_path, ".gz")
    assert not evals[~head].any() and not evecs[~head].any() and not fa[~head].any()
    only1, only2, both = b1 & ~b2, b2 & ~b1, b1 & b2
    for where, direction in [(only1, d1), (only2, d2)]:
        np.testing.assert_array_equal(evals[where], np.broadcast_to(BUNDLE.astype(np.float32), evals[where].shape))
        cosine = np.abs((evecs[where][:, 0] * direction[where]).sum(-1))
        np.testing.assert_allclose(cosine, 1, atol=1e-6)
    assert only1.sum() > 20
    if scene == "crossing":   # the mean of the two tensors: planar, its third axis z
        assert both.sum() > 4
        np.testing.assert_allclose(evals[both], np.broadcast_to([1e-3, 1e-3, 0.3e-3], evals[both].shape), atol=1e-10)
        np.testing.assert_allclose(np.abs(evecs[both][:, 2, 2]), 1, atol=1e-6)
    else:
        assert not both.any() and (only2.sum() > 20) == scene.startswith("touching")
    background = head & ~b1 & ~b2
    np.testing.assert_allclose(fa, fa_of(evals), atol=1e-6)
    assert 0.05 < fa[background].mean() < 0.2 and fa[background].max() < 0.6
    np.testing.assert_allclose(fa[only1], 1.4 / np.sqrt(3.07), atol=1e-6)
