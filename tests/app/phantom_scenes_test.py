"""dticut-phantom's scenes and simulated fits against independent references.

The truth and seed maps are checked voxel for voxel against a plain numpy
re-derivation of the geometry and strokes that the usage text states; the
exact tensors against the stated eigenvalues and fibre directions; the
signals of --write-dwi against S = 1000 exp(-b g'Dg) of the written tensors
and the stated gradient table, and their Rician noise against its
distribution; the --snr fit at very high SNR against numpy's eigh of the
exact tensors, and at moderate and low SNR against dipy's log-linear (OLS)
TensorModel fit of the written signals. Files are read with nibabel.
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


def gradient_table():
    i = np.arange(32)
    z = 1 - (i + 0.5) / 32
    a = np.pi * (3 - np.sqrt(5))
    g = np.stack([np.sqrt(1 - z * z) * np.cos(i * a), np.sqrt(1 - z * z) * np.sin(i * a), z], -1)
    return np.r_[0, np.full(32, 1000.0)], np.vstack([np.zeros(3), g])


def test_signals_follow_the_single_tensor_model_of_the_stated_table(tmp_path):
    phantom(tmp_path, "--scene", "crossing", "--size", "x".join(map(str, SHAPE)), "--layout", "dipy",
            "--write-dwi", "--gzip")
    bvals, bvecs = gradient_table()
    written_bvals = np.loadtxt(tmp_path / "dti_dwi.bval")
    written_bvecs = np.loadtxt(tmp_path / "dti_dwi.bvec")
    np.testing.assert_array_equal(written_bvals, bvals)
    np.testing.assert_allclose(written_bvecs, bvecs.T, atol=1e-15)
    dwi = load(tmp_path / "dti_dwi.nii.gz")
    assert dwi.dtype == np.float32 and dwi.shape == SHAPE + (33,)
    evals, evecs, _ = read_fit(tmp_path, ".gz")
    head = geometry("crossing", SHAPE)[0]
    d = tensors(evals, evecs)[head]
    expected = 1000 * np.exp(-bvals * np.einsum("gi,vij,gj->vg", bvecs, d, bvecs))
    np.testing.assert_allclose(dwi[head], expected, rtol=1e-5)
    assert not dwi[~head].any()


def test_rician_noise_of_the_stated_sigma_depends_on_seed_and_voxel_only(tmp_path):
    runs = {}
    for scene, seed in [("touching90", 3), ("curved", 3), ("curved", 4)]:
        folder = tmp_path / f"{scene}{seed}"
        folder.mkdir()
        phantom(folder, "--scene", scene, "--size", "32x32x16", "--snr", "10", "--seed", str(seed),
                "--write-dwi")
        runs[scene, seed] = load(folder / "DWI.nii")
    head = geometry("curved", (32, 32, 16))[0]
    b0 = runs["curved", 3][..., 0][head].astype(np.float64)
    # Rician magnitude of 1000 with sigma 100 per component: mean about
    # 1000 + sigma^2 / 2000, standard deviation sqrt(1000^2 + 2 sigma^2 - mean^2).
    mean = 1000 + 100**2 / 2000
    assert abs(b0.mean() - mean) < 4 * 100 / np.sqrt(b0.size)
    assert abs(b0.std() / np.sqrt(1000**2 + 2 * 100**2 - mean**2) - 1) < 0.05
    np.testing.assert_array_equal(runs["curved", 3][..., 0], runs["touching90", 3][..., 0])
    assert (runs["curved", 3][..., 0] != runs["curved", 4][..., 0])[head].all()


@pytest.mark.parametrize("scene", ["tubes"] + SCENES)
def test_fit_at_very_high_snr_gives_back_the_exact_tensors(tmp_path, scene):
    exact, fitted = tmp_path / "exact", tmp_path / "fitted"
    exact.mkdir(), fitted.mkdir()
    common = ["--scene", scene, "--size", "x".join(map(str, SHAPE)), "--layout", "dipy", "--seed", "9"]
    assert phantom(exact, *common) == [s.replace(str(fitted), str(exact)) for s in
                                       phantom(fitted, *common, "--snr", "1e6")]
    reference = np.linalg.eigh(tensors(*read_fit(exact)[:2]))
    ref_evals, ref_evecs = reference[0][..., ::-1], np.swapaxes(reference[1], -1, -2)[..., ::-1, :]
    evals, evecs, fa = read_fit(fitted)
    head = geometry(scene, SHAPE)[0]
    assert not evals[~head].any()
    np.testing.assert_allclose(evals[head], ref_evals[head], rtol=1e-4)
    np.testing.assert_allclose(fa[head], fa_of(ref_evals)[head], atol=1e-4)
    gaps = np.diff(ref_evals, axis=-1)
    for k in range(3):
        apart = head & (np.abs(gaps[..., max(k - 1, 0)]) > 5e-5) & (np.abs(gaps[..., min(k, 1)]) > 5e-5)
        assert apart.sum() > head.sum() // 4
        cosine = np.abs((evecs[..., k, :] * ref_evecs[..., k, :]).sum(-1))[apart]
        np.testing.assert_allclose(cosine, 1, atol=1e-6)
    np.testing.assert_allclose(np.linalg.norm(evecs[head], axis=-1), 1, atol=1e-6)


@pytest.mark.parametrize("snr", [20, 4])
def test_fit_matches_dipys_least_squares_fit_of_the_written_signals(tmp_path, snr):
    from dipy.core.gradients import gradient_table as dipy_table
    from dipy.io.gradients import read_bvals_bvecs
    from dipy.reconst import dti

    phantom(tmp_path, "--scene", "crossing", "--size", "x".join(map(str, SHAPE)), "--layout", "dipy",
            "--snr", str(snr), "--write-dwi", "--mask")
    bvals, bvecs = read_bvals_bvecs(str(tmp_path / "dti_dwi.bval"), str(tmp_path / "dti_dwi.bvec"))
    gtab = dipy_table(bvals, bvecs)
    data = load(tmp_path / "dti_dwi.nii").astype(np.float64)
    mask = load(tmp_path / "dti_mask.nii") == 1
    evals, evecs, fa = read_fit(tmp_path)

    # The unclipped least-squares tensor: ours is written as fitted.
    lower = dti.ols_fit_tensor(dti.design_matrix(gtab), np.maximum(data[mask], 1e-4),
                               return_lower_triangular=True)
    raw = dti.from_lower_triangular(lower[:, :6])
    np.testing.assert_allclose(tensors(evals, evecs)[mask], raw, atol=1e-9)
    np.testing.assert_allclose(evals[mask], np.linalg.eigvalsh(raw)[:, ::-1], rtol=1e-5, atol=1e-10)
    np.testing.assert_allclose(fa, fa_of(evals), atol=2e-6)
    negative = evals[mask][:, 2] < 0
    assert negative.any() == (snr == 4)

    # dipy's model clips eigenvalues at a tiny positive floor; elsewhere the two agree.
    fit = dti.TensorModel(gtab, fit_method="OLS").fit(data, mask=mask)
    theirs, ours = fit.evals[mask], evals[mask]
    positive = (theirs > 1e-8).all(-1)
    assert positive.sum() > 0.8 * mask.sum()
    np.testing.assert_allclose(ours[positive], theirs[positive], rtol=1e-5, atol=1e-10)
    np.testing.assert_allclose(fa[mask][positive], fit.fa[mask][positive], atol=1e-5)
    assert (theirs[negative, 2] < 1e-8).all()
    separate = positive & (theirs[:, 0] - theirs[:, 1] > 0.1 * theirs[:, 0])
    cosine = np.abs((evecs[mask][:, 0] * fit.evecs[mask][..., 0]).sum(-1))[separate]
    assert separate.sum() > 50
    np.testing.assert_allclose(cosine, 1, atol=1e-6)
