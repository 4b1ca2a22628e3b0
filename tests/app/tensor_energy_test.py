"""dticut --energy tensor against a plain reimplementation of its formulas.

The reference below follows the formulas the README and tensorEnergy.h
state, in plain Python floats (math.log and math.exp are the C library's, as
the command's are) and Python integers for the exact sums; the minimum of
the energy comes from enumeration on tiny volumes and from scipy's max-flow
on larger ones. Each run's printed energies, report facts, labels and seeds
are checked against it, and the invariances: eigenvector signs, the order of
the eigen-components and a permutation of the axes with the tensors rotated.
"""

import itertools
import json
import math
import os
import subprocess

import nibabel as nib
import numpy as np
import pytest

BUDGET = 1 << 29
EPSILON_FRACTION, BOUNDARY_SCALE, REGION_SCALE = 0.01, 10.0, 10.0
MAX_NLL, KERNEL_REACH, MAX_SEEDS = 20.0, 36.0, 32


def command_path():
    path = os.environ.get("DTICUT_COMMAND")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("DTICUT_COMMAND does not name the built dticut")
    return path


# --- the reference --------------------------------------------------------------

def ascending(a, b, c):
    a, b, c = sorted((a, b, c))
    return (a + b) + c


def c_round(x):
    """std::round then the 32-bit saturation of the command."""
    if x != x:
        return -2 ** 31
    a = abs(x)
    f = math.floor(a)
    r = f + 1 if a - f >= 0.5 else f
    r = r if x >= 0 else -r
    return max(-2 ** 31, min(2 ** 31 - 1, int(r)))


def components(evals, evecs, p):
    """The voxel's three (lambda, e) in double, or None when undefined."""
    out = []
    for k in range(3):
        lam = float(evals[p + (k,)])
        e = [float(evecs[p + (c, k)]) for c in range(3)]
        if not math.isfinite(lam) or not all(map(math.isfinite, e)) or e == [0.0, 0.0, 0.0]:
            return None
        out.append((lam, e))
    return out


def log_tensor(comps, epsilon):
    comps = sorted(comps, key=lambda c: (c[0], c[1][0] * c[1][0], c[1][1] * c[1][1],
                                         c[1][2] * c[1][2]))
    t = [0.0] * 6  # xx, yy, zz, xy, xz, yz
    for lam, e in comps:
        norm = math.sqrt(ascending(e[0] * e[0], e[1] * e[1], e[2] * e[2]))
        x, y, z = e[0] / norm, e[1] / norm, e[2] / norm
        g = math.log(max(lam, epsilon))
        for i, v in enumerate((x * x, y * y, z * z, x * y, x * z, y * z)):
            t[i] += g * v
    return t


def d2(a, b):
    d = [u - v for u, v in zip(a, b)]
    return ascending(d[0] * d[0], d[1] * d[1], d[2] * d[2]) + \
        2.0 * ascending(d[3] * d[3], d[4] * d[4], d[5] * d[5])


def walk(shape, inside):
    """Sites in voxel order and pairs in the command's order: x outermost, z
    innermost, each voxel's -x, -y, -z neighbours."""
    X, Y, Z = shape
    site = {}
    for z, y, x in itertools.product(range(Z), range(Y), range(X)):
        if inside[x, y, z]:
            site[(x, y, z)] = len(site)
    pairs = []
    for x, y, z in itertools.product(range(X), range(Y), range(Z)):
        if (x, y, z) not in site:
            continue
        for q in ((x - 1, y, z), (x, y - 1, z), (x, y, z - 1)):
            if q in site:
                pairs.append((site[(x, y, z)], site[q]))
    return site, pairs


def largest_cap(values, offset):
    """The largest cap c in [0, BUDGET] with offset + sum m * min(v, c) within
    the budget, by bisection over the plain definition."""
    total = lambda c: offset + sum(m * min(v, c) for v, m in values)
    low, high = 0, BUDGET
    while low < high:
        mid = (low + high + 1) // 2
        low, high = (mid, high) if total(mid) <= BUDGET else (low, mid - 1)
    return low


def reference(evals, evecs, fa, mask, seeds, boundary, region):
    shape = fa.shape
    inside = np.zeros(shape, bool)
    for p in np.ndindex(shape):
        inside[p] = components(evals, evecs, p) is not None and \
            (mask is None or (mask[p] != 0 and mask[p] == mask[p]))
    site, pairs = walk(shape, inside)
    voxels = sorted(site, key=site.get)
    mds = sorted(ascending(*(c[0] for c in components(evals, evecs, p))) / 3.0 for p in voxels)
    median = mds[(len(mds) - 1) // 2]
    epsilon = EPSILON_FRACTION * median if median > 0 else 1.0
    L = [log_tensor(components(evals, evecs, p), epsilon) for p in voxels]
    exact = sum(round(d2(L[s], L[t]) * 2.0 ** 20) for s, t in pairs)
    sigma2 = float(exact) / (float(len(pairs)) * 2.0 ** 20) if pairs else 1.0
    sigma2 = sigma2 if sigma2 > 0 else 1.0
    b = BOUNDARY_SCALE * float(np.float32(boundary))
    r = REGION_SCALE * float(np.float32(region))
    weights = [c_round(b * math.exp(-(d2(L[s], L[t]) / (2.0 * sigma2)))) for s, t in pairs]
    n = len(voxels)
    hard = [None] * n
    if seeds is None:
        data = [[c_round(r * ((float(fa[p]) - l) * (float(fa[p]) - l))) for l in (0, 1)]
                for p in voxels]
    else:
        by_label = [[], []]
        for s, p in enumerate(voxels):
            if seeds[p] != 0:
                hard[s] = 1 if seeds[p] == 1 else 0
                by_label[hard[s]].append(s)
        models = []
        for label in (0, 1):
            all_, = [by_label[label]]
            m = min(len(all_), MAX_SEEDS)
            models.append([L[all_[i * len(all_) // m]] for i in range(m)])
        data = []
        for s in range(n):
            row = [0, 0]
            for label in (0, 1):
                t = [d2(L[s], seed) / (2.0 * sigma2) for seed in models[label]]
                least = min(t)
                q = sum(round(math.exp(-(tj - least)) * 2.0 ** 52) for tj in t
                        if tj - least <= KERNEL_REACH)
                nll = least - math.log(float(q)) + 52.0 * math.log(2.0) + \
                    math.log(float(len(t)))
                row[label] = c_round(r * min(nll, MAX_NLL))
            data.append(row)
    # Limiting: negatives to 0, then the common cap; a seed counts as 1 plus
    # its pairs' weights.
    weights = [max(w, 0) for w in weights]
    data = [row if hard[s] is not None else [max(v, 0) for v in row] for s, row in enumerate(data)]
    ends = [(hard[s] is not None) + (hard[t] is not None) for s, t in pairs]
    values = [(max(row), 1) for s, row in enumerate(data) if hard[s] is None] + \
        [(w, 1 + e) for w, e in zip(weights, ends)]
    offset = sum(h is not None for h in hard)
    if offset + sum(m * min(v, BUDGET + 1) for v, m in values) > BUDGET:
        cap = largest_cap(values, offset)
        weights = [min(w, cap) for w in weights]
        data = [row if hard[s] is not None else [min(v, cap) for v in row]
                for s, row in enumerate(data)]
    held = [1] * n
    for (s, t), w in zip(pairs, weights):
        held[s] += w
        held[t] += w
    for s in range(n):
        if hard[s] is not None:
            data[s] = [0, 0]
            data[s][1 - hard[s]] = held[s]
    return {"site": site, "pairs": pairs, "weights": weights, "data": data, "epsilon": epsilon,
            "sigma2": sigma2, "hard": hard}


def energy(ref, labels):
    return sum(ref["data"][s][labels[s]] for s in range(len(labels))) + \
        sum(w for (s, t), w in zip(ref["pairs"], ref["weights"]) if labels[s] != labels[t])


def minimum(ref):
    """The least energy: enumeration up to 14 sites, else scipy's max-flow."""
    n = len(ref["data"])
    if n <= 14:
        return min(energy(ref, [(bits >> s) & 1 for s in range(n)]) for bits in range(1 << n))
    from scipy.sparse import csr_matrix
    from scipy.sparse.csgraph import maximum_flow
    source, sink = n, n + 1
    rows, cols, caps = [], [], []
    for s, (d0, d1) in enumerate(ref["data"]):
        rows += [source, s]
        cols += [s, sink]
        caps += [d0, d1]  # cut: label 0 pays d0 (s on the sink side), label 1 pays d1
    for (s, t), w in zip(ref["pairs"], ref["weights"]):
        rows += [s, t]
        cols += [t, s]
        caps += [w, w]
    graph = csr_matrix((np.array(caps, np.int32), (rows, cols)), shape=(n + 2, n + 2))
    return int(maximum_flow(graph, source, sink).flow_value)


# --- running the command --------------------------------------------------------

def random_fit(rng, shape, nan_voxels=0, tie=False):
    evals = rng.uniform(2e-4, 2e-3, shape + (3,)).astype(np.float32)
    evals[..., 2] = rng.uniform(-1e-4, 5e-4, shape)  # near-zero and negative, as noisy fits
    q, _ = np.linalg.qr(rng.normal(size=shape + (3, 3)))
    evecs = (q * rng.choice([-1.0, 1.0], size=shape + (1, 3))).astype(np.float32)
    if tie:  # a block of one tensor: distances 0 inside it
        evals[:2, :2] = evals[0, 0]
        evecs[:2, :2] = evecs[0, 0]
    for _ in range(nan_voxels):
        evals[tuple(rng.integers(0, n) for n in shape) + (0,)] = np.nan
    fa = rng.uniform(0, 1, shape).astype(np.float32)
    return evals, evecs, fa


def run(tmp_path, evals, evecs, fa, mask=None, seeds=None, options=(), name="run"):
    folder = tmp_path / name
    folder.mkdir()
    args = [command_path(), "--energy", "tensor", *options]
    for key, array in (("evals", evals), ("evecs", evecs), ("scalar", fa), ("mask", mask),
                       ("seeds", seeds)):
        if array is not None:
            nib.save(nib.Nifti1Image(np.asarray(array, np.float32), np.eye(4)), folder / f"{key}.nii")
            args += [f"--{key}", f"{key}.nii"]
    args += ["-o", "labels.nii", "--report", "run.json"]
    done = subprocess.run(args, cwd=folder, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    labels = np.asarray(nib.load(folder / "labels.nii").dataobj)
    report = json.loads((folder / "run.json").read_text())
    return done, labels, report


def check_against_reference(tmp_path, evals, evecs, fa, mask=None, seeds=None, boundary=1.0,
                            region=1.0, name="run"):
    options = ("--boundary-lambda", repr(boundary), "--region-lambda", repr(region))
    done, labels, report = run(tmp_path, evals, evecs, fa, mask, seeds, options, name)
    ref = reference(evals.astype(np.float64), evecs.astype(np.float64), fa, mask, seeds,
                    boundary, region)
    site_labels = [0] * len(ref["site"])
    for p, s in ref["site"].items():
        site_labels[s] = int(labels[p])
    printed = [int(line.split("\t")[1]) for line in done.stdout.splitlines()]
    assert printed == [energy(ref, [0] * len(site_labels)), minimum(ref)]
    assert energy(ref, site_labels) == printed[1]
    assert report["Tensor"]["Epsilon"] == ref["epsilon"]
    assert report["Tensor"]["Sigma2"] == ref["sigma2"]
    outside = [p for p in np.ndindex(fa.shape) if p not in ref["site"]]
    assert all(labels[p] == 0 for p in outside)
    for s, h in enumerate(ref["hard"]):
        if h is not None:
            assert site_labels[s] == h
    return labels, report


@pytest.mark.parametrize("shape,masked,seeded,nans,tie,boundary,region", [
    ((2, 2, 2), False, False, 0, False, 1.0, 1.0),      # enumeration
    ((3, 2, 2), True, True, 1, True, 2.0, 0.5),         # enumeration, a mask, seeds, NaN, a tie
    ((6, 5, 4), False, True, 3, False, 1.0, 1.0),       # max-flow
    ((6, 5, 4), True, True, 2, True, 0.25, 3.0),
    ((7, 6, 3), True, False, 4, False, 1.5, 1.0),
    ((5, 5, 5), False, True, 0, False, 3e7, 1.0),       # the 32-bit cap, seeds held
    ((40, 31, 25), True, True, 3, False, 1.0, 1.0),     # large enough to be split across cores
])
def test_matches_the_reference(tmp_path, shape, masked, seeded, nans, tie, boundary, region):
    rng = np.random.default_rng(sum(shape) * 7 + seeded + 2 * masked)
    evals, evecs, fa = random_fit(rng, shape, nans, tie)
    mask = rng.choice([0.0, 1.0, 5.0, np.nan], size=shape, p=[0.2, 0.6, 0.1, 0.1]) \
        if masked else None
    seeds = None
    if seeded:  # three seeds of each label, on voxels that are segmented
        usable = [p for p in np.ndindex(shape) if not np.isnan(evals[p]).any() and
                  (mask is None or (mask[p] != 0 and not np.isnan(mask[p])))]
        seeds = np.zeros(shape, np.float32)
        for i, label in zip(rng.permutation(len(usable))[:6], (1, 1, 1, 2, 2, 2)):
            seeds[usable[i]] = label
    labels, report = check_against_reference(tmp_path, evals, evecs, fa, mask, seeds, boundary,
                                             region)
    assert (report["Limiting"]["Cap"] is not None) == (boundary > 1e6)


def test_invariances(tmp_path):
    """Eigenvector signs, the order of the eigen-components and a permutation
    of the axes (tensors rotated with them) change no label."""
    rng = np.random.default_rng(11)
    shape = (5, 4, 3)
    evals, evecs, fa = random_fit(rng, shape, nan_voxels=2)
    seeds = np.zeros(shape, np.float32)
    seeds[0, 0, :] = 1
    seeds[4, 3, :] = 2
    _, base, _ = run(tmp_path, evals, evecs, fa, seeds=seeds, name="base")

    signs = rng.choice([-1.0, 1.0], size=shape + (1, 3)).astype(np.float32)
    _, flipped, _ = run(tmp_path, evals, evecs * signs, fa, seeds=seeds, name="signs")
    np.testing.assert_array_equal(flipped, base)

    order = [2, 0, 1]
    _, swapped, _ = run(tmp_path, evals[..., order], evecs[..., order], fa, seeds=seeds,
                        name="order")
    np.testing.assert_array_equal(swapped, base)

    # Axes (x, y, z) -> (y, z, x): voxel (x, y, z) moves to (y, z, x), and each
    # eigenvector's components are permuted the same way.
    axes = (1, 2, 0)
    moved = lambda a: np.ascontiguousarray(np.transpose(a, axes + tuple(range(3, a.ndim))))
    _, permuted, _ = run(tmp_path, moved(evals), moved(evecs)[..., list(axes), :], moved(fa),
                         seeds=moved(seeds), name="axes")
    np.testing.assert_array_equal(permuted, moved(base))
