#!/usr/bin/env python3
"""The Snakemake workflow of workflow/ on a generated cohort.

Three phantom subjects as BIDS derivatives of a tensor fit in the prefix form:
sub-01, sub-02 with a session, sub-03 with a truncated anisotropy file. The
workflow runs with --cores 2 --keep-going, and then:
- sub-01's and sub-02's labels and pictures are byte-identical to dticut run
  by hand with the same weights, their sidecars complete and matching what
  dticut printed, their label counts those of the labels;
- sub-03 fails alone, with dticut's message in its log, in Snakemake's report
  and on the page, and is absent from the summary, which lists the others;
- fixing sub-03 reruns sub-03 alone; a rerun with nothing changed does
  nothing (no job, no file touched); a changed weight plans every run again,
  a changed input file that run only.
Cases of options dticut does not take yet are skipped, each with a line
saying so: a run with a mask (when `dticut --help` mentions --mask) and the
dipy form (--evals).

usage: workflow_test.py --snakemake EXE --dticut EXE --phantom EXE --snakefile FILE --work DIR
Standard library only; exits 0 when every check passes.
"""

import argparse
import csv
import gzip
import json
import os
import re
import shutil
import struct
import subprocess
import sys

SIZE = (32, 32, 16)
# Non-default weights, one fractional (both change the result), so that passing them is checked; the
# other two stay at dticut's default of 1.
WEIGHTS = {"data_lambda": "100", "smooth_fa_lambda": "1.5"}
HAND_WEIGHTS = ["--data-lambda", "100", "--smooth-fa-lambda", "1.5"]
PREFIX_NAMES = ("L1", "V1", "L2", "V2", "L3", "V3", "FA")
SIDECAR_KEYS = {"Description", "Sources", "Form", "Mask", "CommandLine", "Arguments",
                "DticutVersion", "Weights", "EnergyBefore", "EnergyAfter", "Voxels",
                "Label0Voxels", "Label1Voxels", "Label1Fraction", "Label1OutsideMask",
                "Limiting", "RunTimeSeconds"}
COLUMNS = ["subject", "session", "voxels", "label1_voxels", "label1_fraction",
           "energy_before", "energy_after", "seconds", "labels"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print(f"FAIL: {message}", flush=True)
    return condition


def run(argv, cwd, expect=None):
    proc = subprocess.run(argv, cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if expect is not None and proc.returncode != expect:
        sys.exit(f"{' '.join(argv)}: exit status {proc.returncode}, expected {expect}\n"
                 f"--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}")
    return proc


# --- NIfTI-1 files, just enough for the phantom's float32 volumes ---------------

def read_nifti(path):
    """(header bytes up to the voxels, voxel bytes) of a little-endian file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    offset = int(struct.unpack_from("<f", data, 108)[0]) or 352
    return data[:offset], data[offset:]


def with_dims(header, dims, datatype=None, bitpix=None):
    header = bytearray(header)
    struct.pack_into("<8h", header, 40, len(dims), *dims, *([1] * (7 - len(dims))))
    if datatype is not None:
        struct.pack_into("<hh", header, 70, datatype, bitpix)
    return bytes(header)


def write_gz(path, data):
    with open(path, "wb") as f:
        f.write(gzip.compress(data, mtime=0))


def float_values(path):
    header, voxels = read_nifti(path)
    n = SIZE[0] * SIZE[1] * SIZE[2]
    return struct.unpack(f"<{n}f", voxels[:4 * n])


# --- a cohort ------------------------------------------------------------------

def phantom_files(args, folder, seed):
    """Writes a compressed prefix-form phantom into folder; returns its files
    by name (L1 ... FA), from the prefix the phantom prints."""
    os.makedirs(folder)
    size = "x".join(map(str, SIZE))
    out = run([args.phantom, "--layout", "prefix", "--gzip", "--size", size, "--seed", str(seed),
               folder], cwd=folder, expect=0).stdout.split()
    prefix = out[out.index("--tensor-prefix") + 1]
    return {name: f"{prefix}_{name}.nii.gz" for name in PREFIX_NAMES}


def prefix_run(args, stem, seed):
    """A run of the prefix form: stem_L1.nii.gz ... stem_FA.nii.gz."""
    files = phantom_files(args, os.path.join(args.work, "phantoms", f"seed{seed}"), seed)
    stem = os.path.join(args.work, stem)
    os.makedirs(os.path.dirname(stem), exist_ok=True)
    for name, path in files.items():
        shutil.copyfile(path, f"{stem}_{name}.nii.gz")


def dipy_run(args, stem, seed):
    """A run of the dipy form: stem_evals.nii.gz (x, y, z, 3), stem_evecs.nii.gz
    (x, y, z, 3 components, 3 vectors: evecs[..., :, j] the j-th vector) and
    stem_fa.nii.gz, from the same phantom."""
    files = phantom_files(args, os.path.join(args.work, "phantoms", f"dipy{seed}"), seed)
    os.makedirs(os.path.dirname(stem), exist_ok=True)
    volumes = {name: read_nifti(path) for name, path in files.items()}
    header = volumes["L1"][0]
    write_gz(f"{stem}_evals.nii.gz", with_dims(header, SIZE + (3,))
             + b"".join(volumes[n][1] for n in ("L1", "L2", "L3")))
    write_gz(f"{stem}_evecs.nii.gz", with_dims(volumes["V1"][0], SIZE + (3, 3))
             + b"".join(volumes[n][1] for n in ("V1", "V2", "V3")))
    shutil.copyfile(files["FA"], f"{stem}_fa.nii.gz")


def write_mask(fa_path, mask_path):
    """A uint8 mask: the head (anisotropy above 0) in the x < 3/4 part of the
    volume. Returns its number of voxels."""
    header, _ = read_nifti(fa_path)
    fa = float_values(fa_path)
    mask = bytes(1 if v > 0 and i % SIZE[0] < 3 * SIZE[0] // 4 else 0 for i, v in enumerate(fa))
    write_gz(mask_path, with_dims(header, SIZE, datatype=2, bitpix=8) + mask)
    return sum(mask)


# --- the workflow ----------------------------------------------------------------

def snakemake(args, cohort, out, extra=(), config=(), expect=None):
    argv = [args.snakemake, "-s", args.snakefile, "--cores", "2", *extra, "--config",
            f"input={cohort}", f"output={out}", f"dticut={args.dticut}",
            *(f"{k}={v}" for k, v in WEIGHTS.items()), *config]
    return run(argv, cwd=args.work, expect=expect)


def segmented(proc):
    """The runs a Snakemake run or dry run segments (its rule blocks)."""
    return set(re.findall(r"wildcards: run=(\S+)", proc.stdout + proc.stderr))


def file_times(folder):
    return {os.path.join(d, f): os.stat(os.path.join(d, f)).st_mtime_ns
            for d, _, files in os.walk(folder) for f in files}


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def check_run_by_hand(args, out, key, inputs, mask=None, mask_voxels=None, form="prefix"):
    """The workflow's outputs for one run against dticut run by hand."""
    name = os.path.basename(key)
    hand = os.path.join(args.work, "hand", name)
    os.makedirs(hand)
    argv = [args.dticut, *inputs, *(["--mask", mask] if mask else []), *HAND_WEIGHTS, "-o",
            os.path.join(hand, "labels.nii.gz"), "--preview", os.path.join(hand, "labels.png")]
    proc = run(argv, cwd=args.work, expect=0)
    base = os.path.join(args.work, out, key + "_desc-dticut_dseg")
    for ext, hand_file in ((".nii.gz", "labels.nii.gz"), (".png", "labels.png")):
        path = base + ext
        if check(os.path.exists(path), f"{name}: {path} missing"):
            check(read_bytes(path) == read_bytes(os.path.join(hand, hand_file)),
                  f"{name}: {path} differs from dticut's by hand")
    try:
        with open(base + ".json", encoding="utf-8") as f:
            sidecar = json.load(f)
    except (OSError, ValueError) as e:
        check(False, f"{name}: sidecar: {e}")
        return None
    check(set(sidecar) == SIDECAR_KEYS, f"{name}: keys {sorted(set(sidecar) ^ SIDECAR_KEYS)}")
    energies = dict(re.findall(r"^(Before|After) optimization energy is :\t(-?\d+)$",
                               proc.stdout, re.M))
    check([sidecar.get("EnergyBefore"), sidecar.get("EnergyAfter")]
          == [int(energies["Before"]), int(energies["After"])], f"{name}: energies")
    check(sidecar.get("Weights") == {"DataLambda": 100.0, "SmoothFaLambda": 1.5,
                                     "SmoothPrincipalLambda": 1.0, "SmoothOmnibusLambda": 1.0},
          f"{name}: Weights {sidecar.get('Weights')}")
    version = run([args.dticut, "--version"], cwd=args.work, expect=0).stdout.split()[-1]
    check(sidecar.get("DticutVersion") == version, f"{name}: DticutVersion")
    check(sidecar.get("Form") == form and sidecar.get("Mask") == mask, f"{name}: Form, Mask")
    arguments = sidecar.get("Arguments") or []
    check(arguments[:1] == [args.dticut] and all(a in arguments for a in inputs),
          f"{name}: command line {sidecar.get('CommandLine')}")
    limited = [line for line in proc.stderr.splitlines() if line.startswith("dticut: limited")]
    limiting = sidecar.get("Limiting") or {}
    check(limiting.get("Message") == (limited[0] if limited else None), f"{name}: Limiting.Message")
    if limited:
        m = re.match(r"dticut: limited (\d+) pair weights and (\d+) data costs"
                     r" .*?(?:capped at (\d+))?\)$", limited[0])
        figures = [int(g) if g else None for g in m.groups()] if m else None
        check([limiting.get(k) for k in ("PairWeights", "DataCosts", "Cap")] == figures,
              f"{name}: Limiting {limiting}")
    values = float_values(os.path.join(hand, "labels.nii.gz"))
    ones = sum(1 for v in values if v == 1.0)
    voxels = mask_voxels if mask else len(values)
    check(sidecar.get("Voxels") == voxels and sidecar.get("Label1Voxels") == ones
          and sidecar.get("Label0Voxels") == voxels - ones
          and abs(sidecar.get("Label1Fraction", -1) - ones / voxels) < 1e-12
          and sidecar.get("Label1OutsideMask") == 0,
          f"{name}: label counts {sidecar.get('Label0Voxels')} + {sidecar.get('Label1Voxels')} of"
          f" {sidecar.get('Voxels')}, expected {voxels - ones} + {ones}")
    check(0 < ones < voxels, f"{name}: a trivial segmentation ({ones} of {voxels})")
    return sidecar


def read_summary(path):
    with open(path, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f, delimiter="\t"))
    return rows[0], [dict(zip(rows[0], row)) for row in rows[1:]]


def check_summary(out_dir, expected):
    """expected: {(subject, session): sidecar} of the runs that succeeded."""
    header, rows = read_summary(os.path.join(out_dir, "group", "summary.tsv"))
    check(header == COLUMNS, f"summary columns {header}")
    found = [(r["subject"], r["session"]) for r in rows]
    check(sorted(found) == sorted(expected), f"summary rows {found}, expected {sorted(expected)}")
    for row in rows:
        sidecar = expected.get((row["subject"], row["session"]))
        if not sidecar:
            continue
        check([row["voxels"], row["label1_voxels"], row["energy_before"], row["energy_after"]]
              == [str(sidecar[k])
                  for k in ("Voxels", "Label1Voxels", "EnergyBefore", "EnergyAfter")]
              and abs(float(row["label1_fraction"]) - sidecar["Label1Fraction"]) < 1e-6
              and abs(float(row["seconds"]) - sidecar["RunTimeSeconds"]) < 1e-3,
              f"summary row {row} against its sidecar")
        check(os.path.exists(os.path.join(out_dir, row["labels"])), f"{row['labels']} missing")


def check_page(out_dir, names, failed):
    with open(os.path.join(out_dir, "group", "index.html"), encoding="utf-8") as f:
        page = f.read()
    pictures = re.findall(r'<img src="([^"]+)"', page)
    check(len(pictures) == len(names), f"index.html: {len(pictures)} pictures, {len(names)} runs")
    for picture in pictures:
        check(os.path.exists(os.path.join(out_dir, "group", picture)), f"{picture} missing")
    for name in names:
        check(f"<b>{name}</b>" in page, f"index.html: {name} missing")
    for name, message in failed.items():
        check(name in page and message in page, f"index.html: the failure of {name} missing")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--snakemake", "--dticut", "--phantom", "--snakefile", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    args.dticut, args.phantom, args.snakefile, args.work = map(
        os.path.abspath, (args.dticut, args.phantom, args.snakefile, args.work))
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    usage = run([args.dticut, "--help"], cwd=args.work, expect=0).stdout
    takes_mask, takes_evals = "--mask" in usage, "--evals" in usage

    # The cohort, in the prefix form.
    prefix_run(args, "cohort/sub-01/dwi/sub-01", 1)
    prefix_run(args, "cohort/sub-02/ses-1/dwi/sub-02_ses-1", 2)
    prefix_run(args, "cohort/sub-03/dwi/sub-03", 3)
    broken = os.path.join(args.work, "cohort/sub-03/dwi/sub-03_FA.nii.gz")
    good_fa = read_bytes(broken)
    with open(broken, "wb") as f:
        f.write(good_fa[:len(good_fa) // 2])
    mask_voxels = None
    if takes_mask:
        prefix_run(args, "cohort/sub-04/dwi/sub-04", 4)
        mask_voxels = write_mask(os.path.join(args.work, "cohort/sub-04/dwi/sub-04_FA.nii.gz"),
                                 os.path.join(args.work, "cohort/sub-04/dwi/sub-04_mask.nii.gz"))
    else:
        print("skipped: a run with a mask (dticut --help does not mention --mask)")

    first = snakemake(args, "cohort", "out", extra=["--keep-going"])
    report = first.stdout + first.stderr
    check(first.returncode != 0, "the workflow succeeded with a broken run")
    expected_runs = {"sub-01/dwi/sub-01", "sub-02/ses-1/dwi/sub-02_ses-1", "sub-03/dwi/sub-03"}
    if takes_mask:
        expected_runs.add("sub-04/dwi/sub-04")
    check(segmented(first) == expected_runs, f"first run segmented {sorted(segmented(first))}")

    # The broken run: dticut's message in its log, the report and the page.
    with open(os.path.join(args.work, "out/logs/sub-03/dwi/sub-03.log"), encoding="utf-8") as f:
        log = f.read()
    errors = [line for line in log.splitlines() if line.startswith("dticut: error:")]
    check(len(errors) == 1 and "cohort/sub-03/dwi/sub-03_FA.nii.gz" in errors[0],
          f"sub-03's log lacks dticut's message on its FA file:\n{log}")
    if errors:
        check(errors[0] in report, "Snakemake's report lacks sub-03's message")
    check("Error in rule segment" in report and "out/logs/sub-03/dwi/sub-03.log" in report,
          "Snakemake's report does not name sub-03's failed job and log")
    check(not os.path.exists(os.path.join(args.work, "out/sub-03")), "sub-03 has outputs")

    # The runs that succeeded, against dticut by hand.
    sidecars = {
        ("sub-01", "n/a"): check_run_by_hand(args, "out", "sub-01/dwi/sub-01",
                                             ["--tensor-prefix", "cohort/sub-01/dwi/sub-01"]),
        ("sub-02", "ses-1"): check_run_by_hand(
            args, "out", "sub-02/ses-1/dwi/sub-02_ses-1",
            ["--tensor-prefix", "cohort/sub-02/ses-1/dwi/sub-02_ses-1"]),
    }
    if takes_mask:
        sidecars[("sub-04", "n/a")] = check_run_by_hand(
            args, "out", "sub-04/dwi/sub-04", ["--tensor-prefix", "cohort/sub-04/dwi/sub-04"],
            mask="cohort/sub-04/dwi/sub-04_mask.nii.gz", mask_voxels=mask_voxels)
    out_dir = os.path.join(args.work, "out")
    check_summary(out_dir, {k: v for k, v in sidecars.items() if v})
    names = ["sub-01", "sub-02_ses-1"] + (["sub-04"] if takes_mask else [])
    check_page(out_dir, names, {"sub-03": errors[0] if errors else "dticut: error:"})
    check(os.path.exists(os.path.join(out_dir, "dataset_description.json")),
          "dataset_description.json missing")

    # Fixing sub-03 reruns sub-03 alone, and the summary then lists it.
    before = file_times(out_dir)
    with open(broken, "wb") as f:
        f.write(good_fa)
    fixed = snakemake(args, "cohort", "out", expect=0)
    check(segmented(fixed) == {"sub-03/dwi/sub-03"}, f"after the fix: {sorted(segmented(fixed))}")
    after = file_times(out_dir)
    touched = sorted(p for p, t in before.items() if after.get(p) != t and "/sub-03" not in p
                     and "/group/" not in p)
    check(not touched, f"after the fix: files of other runs rewritten: {touched}")
    sidecars[("sub-03", "n/a")] = check_run_by_hand(args, "out", "sub-03/dwi/sub-03",
                                                    ["--tensor-prefix", "cohort/sub-03/dwi/sub-03"])
    check_summary(out_dir, {k: v for k, v in sidecars.items() if v})
    check_page(out_dir, sorted(names + ["sub-03"]), {})

    # Nothing changed: nothing to do, no file touched.
    before = file_times(args.work)
    again = snakemake(args, "cohort", "out", expect=0)
    check("Nothing to be done" in again.stdout + again.stderr and not segmented(again),
          f"a rerun with nothing changed did something:\n{again.stdout}{again.stderr}")
    after = file_times(args.work)
    changed = sorted(p for p in set(before) | set(after)
                     if before.get(p) != after.get(p) and "/.snakemake/" not in p)
    check(not changed, f"a rerun with nothing changed touched {changed}")

    # A changed weight plans every run again; a changed input file its run only.
    weight = snakemake(args, "cohort", "out", extra=["--dry-run"],
                       config=["smooth_omnibus_lambda=2"], expect=0)
    check(segmented(weight) == expected_runs | {"sub-03/dwi/sub-03"},
          f"a changed weight plans {sorted(segmented(weight))}")
    other = phantom_files(args, os.path.join(args.work, "phantoms", "seed9"), 9)
    shutil.copyfile(other["FA"],
                    os.path.join(args.work, "cohort/sub-02/ses-1/dwi/sub-02_ses-1_FA.nii.gz"))
    changed_input = snakemake(args, "cohort", "out", extra=["--dry-run"], expect=0)
    check(segmented(changed_input) == {"sub-02/ses-1/dwi/sub-02_ses-1"},
          f"a changed input of sub-02 plans {sorted(segmented(changed_input))}")

    # The dipy form: *_evals, *_evecs, *_fa.
    if takes_evals:
        dipy_run(args, os.path.join(args.work, "cohort-dipy/sub-01/dwi/sub-01"), 1)
        dipy_run(args, os.path.join(args.work, "cohort-dipy/sub-02/ses-1/dwi/sub-02_ses-1"), 2)
        dipy = snakemake(args, "cohort-dipy", "out-dipy", config=["form=dipy"], expect=0)
        check(segmented(dipy) == {"sub-01/dwi/sub-01", "sub-02/ses-1/dwi/sub-02_ses-1"},
              f"dipy form: segmented {sorted(segmented(dipy))}")
        os.rename(os.path.join(args.work, "hand"), os.path.join(args.work, "hand-prefix"))
        dipy_sidecars = {}
        for subject, session, key in (("sub-01", "n/a", "sub-01/dwi/sub-01"),
                                      ("sub-02", "ses-1", "sub-02/ses-1/dwi/sub-02_ses-1")):
            stem = "cohort-dipy/" + key
            dipy_sidecars[(subject, session)] = check_run_by_hand(
                args, "out-dipy", key, ["--evals", stem + "_evals.nii.gz", "--evecs",
                                        stem + "_evecs.nii.gz", "--scalar", stem + "_fa.nii.gz"],
                form="dipy")
        check_summary(os.path.join(args.work, "out-dipy"),
                      {k: v for k, v in dipy_sidecars.items() if v})
    else:
        print("skipped: the dipy form (dticut --help does not mention --evals)")

    print(f"{len(failures)} failed" if failures else "all workflow checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
