"""dticut --report against what the same run printed and wrote.

Each run's report is checked against the run's own standard output (the two
energies), standard error (the -v stage lines and every other line, the
warnings), the labels file it wrote (read with nibabel) and the inputs it
was given; a failed run writes no report and leaves an earlier one alone.
"""

import json
import os
import re
import subprocess

import nibabel as nib
import numpy as np
import pytest

STAGE = re.compile(r"^dticut: ([a-z ]+): (.*?)(?:, )?(\d+\.\d{3}) s$")


def command_path():
    path = os.environ.get("DTICUT_COMMAND")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("DTICUT_COMMAND does not name the built dticut")
    return path


def write_dipy(folder, rng, shape, zero_background):
    """A random dipy-form fit (float64 files) and a mask holding NaN and
    non-1 values inside; returns the mask array."""
    evals = rng.uniform(0.1, 2.0, shape + (3,))
    evecs = rng.uniform(-1, 1, shape + (3, 3))
    fa = rng.uniform(0.05, 0.95, shape)
    if zero_background:
        fa[: shape[0] // 2] = 0
    mask = rng.choice([0.0, 1.0, 7.0, np.nan], size=shape, p=[0.3, 0.4, 0.2, 0.1]).astype(np.float32)
    for name, array in [("evals", evals), ("evecs", evecs), ("fa", fa), ("mask", mask)]:
        nib.save(nib.Nifti1Image(array, np.eye(4)), str(folder / f"{name}.nii"))
    return mask


def run(argv, cwd):
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True)


@pytest.mark.parametrize("masked,weights,zero_background", [
    (True, ["--data-lambda", "100", "--smooth-fa-lambda", "0.1"], False),
    (False, ["--data-lambda", "100"], True),   # 1/0 pair weights: the limiting line
    (True, [], False),                         # default weights: the data-free line
])
def test_report_matches_the_run(tmp_path, masked, weights, zero_background):
    rng = np.random.default_rng(len(weights) + 2 * masked)
    shape = (5, 4, 3)
    mask = write_dipy(tmp_path, rng, shape, zero_background)
    argv = [command_path(), "-v", *weights, "--evals", "evals.nii", "--evecs", "evecs.nii",
            "--scalar", "fa.nii", *(["--mask", "mask.nii"] if masked else []),
            "-o", "labels.nii.gz", "--preview", "p.png", "--report", "run.json"]
    proc = run(argv, tmp_path)
    assert proc.returncode == 0, proc.stderr
    report = json.loads((tmp_path / "run.json").read_text())

    assert report["Program"] == "dticut"
    assert report["CommandLine"] == argv
    energies = re.findall(r"^(Before|After) optimization energy is :\t(-?\d+)$", proc.stdout, re.M)
    assert [int(e) for _, e in energies] == [report["EnergyBefore"], report["EnergyAfter"]]
    assert report["IterationEnergies"][-1] == report["EnergyAfter"]

    stages, others = {}, []
    for line in proc.stderr.splitlines():
        m = STAGE.match(line)
        if m:
            stages[m.group(1)] = float(m.group(3))
        else:
            others.append(line)
    assert report["Warnings"] == others
    # The report is written last: its own stage follows it.
    assert list(stages)[-1] == "report" and stages.pop("report") >= 0
    assert report["StageSeconds"] == stages
    assert list(stages) == ["reading", "principal component", "building the energy",
                            "optimisation", "writing", "preview"]
    limiting = [line for line in others if line.startswith("dticut: limited ")]
    assert report["Limiting"]["Message"] == (limiting[0] if limiting else None)
    assert (report["Limiting"]["Cap"] is not None) == ("capped at" in "".join(limiting))
    assert bool(limiting) == zero_background

    labels = np.asarray(nib.load(str(tmp_path / "labels.nii.gz")).dataobj)
    inside = (mask != 0) & ~np.isnan(mask) if masked else np.ones(shape, bool)
    ones = int(np.count_nonzero(labels[inside] == 1))
    assert report["Labels"] == {"Segmented": int(inside.sum()), "Label0": int(inside.sum()) - ones,
                                "Label1": ones}
    assert report["Empty"] == (ones == 0)
    assert report["Voxels"] == int(np.prod(shape)) and report["Sites"] == int(inside.sum())
    assert report["MaskInsideVoxels"] == (int(inside.sum()) if masked else None)
    if not weights:
        assert report["Empty"] and any("no data cost is lower" in w for w in report["Warnings"])

    roles = [(f["Role"], f["Path"], f["Dimensions"], f["Volumes"], f["Datatype"])
             for f in report["Inputs"]]
    assert roles == [("evals", "evals.nii", [5, 4, 3], 3, "float64"),
                     ("evecs", "evecs.nii", [5, 4, 3], 9, "float64"),
                     ("scalar", "fa.nii", [5, 4, 3], 1, "float64")]
    assert (report["Mask"] or {}).get("Datatype") == ("float32" if masked else None)
    given = dict(zip(weights[::2], weights[1::2]))
    expected = {"DataLambda": given.get("--data-lambda", "1"),
                "SmoothFaLambda": given.get("--smooth-fa-lambda", "1"),
                "SmoothPrincipalLambda": "1", "SmoothOmnibusLambda": "1"}
    assert {k: np.float32(v) for k, v in report["Weights"].items()} == \
        {k: np.float32(v) for k, v in expected.items()}
    assert report["Outputs"] == {"Labels": "labels.nii.gz", "Preview": "p.png",
                                 "Report": "run.json"}


def test_a_failed_run_writes_no_report_and_keeps_the_earlier_one(tmp_path):
    rng = np.random.default_rng(5)
    write_dipy(tmp_path, rng, (3, 3, 2), False)
    (tmp_path / "run.json").write_text("earlier\n")
    (tmp_path / "short.nii").write_bytes((tmp_path / "fa.nii").read_bytes()[:400])
    base = [command_path(), "--evals", "evals.nii", "--evecs", "evecs.nii"]
    proc = run(base + ["--scalar", "short.nii", "--report", "run.json"], tmp_path)
    assert proc.returncode == 1 and "short.nii" in proc.stderr
    proc = run(base + ["--scalar", "fa.nii", "--report", "test.nii"], tmp_path)
    assert proc.returncode == 1
    assert proc.stderr == ("dticut: error: test.nii: is also the output of the labels; "
                           "give the report another name\n")
    assert (tmp_path / "run.json").read_text() == "earlier\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == \
        ["evals.nii", "evecs.nii", "fa.nii", "mask.nii", "run.json", "short.nii"]
