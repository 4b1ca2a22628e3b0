#!/usr/bin/env python3
"""The Snakemake workflow of workflow/ on a generated cohort.

Phantom subjects as BIDS derivatives of a tensor fit in the prefix form:
sub-01, sub-02 with a session, sub-03 with a truncated anisotropy file,
sub-04 with a mask (dtifit's <prefix>_mask), sub-05 whose anisotropy is all
zero (an empty result, flagged), sub-06 and sub-07 one scan stored RAS and
LAS. The workflow runs with --cores 2 --keep-going, and then:
- a config typo, a value out of range and mask=required with runs without a
  mask are refused before any job, the typo's nearest key named;
- each run's labels (uint8) and picture are byte-identical to dticut run by
  hand with the same options, its sidecar complete (Sources as BIDS URIs,
  warnings, Empty) and matching what dticut printed, its label counts those
  of the labels; the LAS and RAS copies give the same picture;
- sub-03 fails alone, with dticut's message in its log, in Snakemake's
  report and on the page, and is absent from the summary; sub-05 is flagged
  on the console, in the summary and at the top of the page; the mixed
  masks are said on the console and the page; fail_on_flag fails sub-05;
- fixing sub-03 reruns sub-03 alone; a rerun with nothing changed does
  nothing (no job, no file touched); a changed weight plans every run again,
  a changed input file that run only;
- the dipy form finds masks by the three naming styles (BIDS
  *_desc-brain_mask, dipy's brain_mask, FSL's nodif_brain_mask);
- the BIDS validator (the schema validator of npm's bids-validator, run by
  bids_validate.mjs) passes the output; headless Chromium shows the page with
  every picture loaded and the flagged run marked first; a one-node Slurm
  cluster started here runs the cohort through workflow/profiles/slurm with
  the same outputs as the local run.
Each of the last three is skipped with a line saying so when its tool (or
root, for Slurm) is missing.

usage: workflow_test.py --snakemake EXE --dticut EXE --phantom EXE --snakefile FILE --work DIR
                        [--node EXE --bids-validator DIR] [--chromium EXE]
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
HAND_WEIGHTS = ["--data-lambda", "100", "--smooth-fa-lambda", "1.5", "--labels-datatype", "uint8",
                "--preview-slices", "3"]
PREFIX_NAMES = ("L1", "V1", "L2", "V2", "L3", "V3", "FA")
SIDECAR_KEYS = {"Description", "Sources", "Form", "Mask", "CommandLine", "Arguments",
                "DticutVersion", "Weights", "EnergyBefore", "EnergyAfter", "Voxels",
                "Label0Voxels", "Label1Voxels", "Label1Fraction", "Label1OutsideMask",
                "Limiting", "Warnings", "Empty", "RunTimeSeconds"}
COLUMNS = ["subject", "session", "voxels", "label1_voxels", "label1_fraction",
           "energy_before", "energy_after", "seconds", "labels", "warnings", "empty"]

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

def phantom_files(args, folder, seed, mask=False):
    """Writes a compressed prefix-form phantom into folder; returns its files
    by name (L1 ... FA, and mask), from the prefix the phantom prints."""
    os.makedirs(folder)
    size = "x".join(map(str, SIZE))
    out = run([args.phantom, "--layout", "prefix", "--gzip", "--size", size, "--seed", str(seed),
               *(["--mask"] if mask else []), folder], cwd=folder, expect=0).stdout.split()
    prefix = out[out.index("--tensor-prefix") + 1]
    names = PREFIX_NAMES + (("mask",) if mask else ())
    return {name: f"{prefix}_{name}.nii.gz" for name in names}


def prefix_run(args, stem, seed, mask=None):
    """A run of the prefix form: stem_L1.nii.gz ... stem_FA.nii.gz, and the
    phantom's head mask as stem + mask when mask names its ending."""
    files = phantom_files(args, os.path.join(args.work, "phantoms", f"seed{seed}-{len(stem)}"),
                          seed, mask=bool(mask))
    stem = os.path.join(args.work, stem)
    os.makedirs(os.path.dirname(stem), exist_ok=True)
    for name, path in files.items():
        shutil.copyfile(path, stem + mask if name == "mask" else f"{stem}_{name}.nii.gz")
    return files


def dipy_run(args, stem, seed, mask=None):
    """A run of the dipy form: stem + evals.nii.gz (x, y, z, 3), evecs.nii.gz
    (x, y, z, 3 components, 3 vectors: evecs[..., :, j] the j-th vector) and
    fa.nii.gz, from the same phantom; its mask at `mask` when given."""
    files = phantom_files(args, os.path.join(args.work, "phantoms", f"dipy{seed}"), seed,
                          mask=bool(mask))
    os.makedirs(os.path.dirname(stem), exist_ok=True)
    volumes = {name: read_nifti(path) for name, path in files.items()}
    header = volumes["L1"][0]
    write_gz(stem + "evals.nii.gz", with_dims(header, SIZE + (3,))
             + b"".join(volumes[n][1] for n in ("L1", "L2", "L3")))
    write_gz(stem + "evecs.nii.gz", with_dims(volumes["V1"][0], SIZE + (3, 3))
             + b"".join(volumes[n][1] for n in ("V1", "V2", "V3")))
    shutil.copyfile(files["FA"], stem + "fa.nii.gz")
    if mask:
        shutil.copyfile(files["mask"], mask)


def write_mask(fa_path, mask_path):
    """A uint8 mask: the head (anisotropy above 0) in the x < 3/4 part of the
    volume. Returns its number of voxels."""
    header, _ = read_nifti(fa_path)
    fa = float_values(fa_path)
    mask = bytes(1 if v > 0 and i % SIZE[0] < 3 * SIZE[0] // 4 else 0 for i, v in enumerate(fa))
    write_gz(mask_path, with_dims(header, SIZE, datatype=2, bitpix=8) + mask)
    return sum(mask)


def zero_fa(path):
    """Sets every anisotropy of a float32 file to 0: no voxel favours label 1."""
    header, voxels = read_nifti(path)
    write_gz(path, header + bytes(len(voxels)))


def with_sform(header, rows):
    """header with sform_code 1 and the sform's three rows."""
    header = bytearray(header)
    struct.pack_into("<h", header, 254, 1)
    struct.pack_into("<12f", header, 280, *[v for row in rows for v in row])
    return bytes(header)


def ras_and_las(args, ras_stem, las_stem, seed):
    """One phantom stored twice: RAS (2 mm voxels along +x, +y, +z) and LAS
    (x reversed in every volume and in the sform), each with its sform."""
    files = prefix_run(args, ras_stem, seed)
    ras = [[2, 0, 0, -31], [0, 2, 0, -31], [0, 0, 2, -15]]
    las = [[-2, 0, 0, -31 + 2 * (SIZE[0] - 1)]] + ras[1:]
    for name in files:
        header, voxels = read_nifti(os.path.join(args.work, f"{ras_stem}_{name}.nii.gz"))
        rows = [voxels[i:i + 4 * SIZE[0]] for i in range(0, len(voxels), 4 * SIZE[0])]
        flipped = b"".join(b"".join(row[j:j + 4] for j in range(len(row) - 4, -1, -4))
                           for row in rows)
        write_gz(os.path.join(args.work, f"{ras_stem}_{name}.nii.gz"), with_sform(header, ras)
                 + voxels)
        os.makedirs(os.path.dirname(os.path.join(args.work, las_stem)), exist_ok=True)
        write_gz(os.path.join(args.work, f"{las_stem}_{name}.nii.gz"), with_sform(header, las)
                 + flipped)


# --- the workflow ----------------------------------------------------------------

def snakemake(args, cohort, out, extra=(), config=(), expect=None, cwd=None, env=None,
              weights=WEIGHTS):
    argv = [args.snakemake, "-s", args.snakefile, "--cores", "2", *extra, "--config",
            f"input={cohort}", f"output={out}", f"dticut={args.dticut}",
            *(f"{k}={v}" for k, v in weights.items()), *config]
    proc = subprocess.run(argv, cwd=cwd or args.work, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, env=env)
    if expect is not None and proc.returncode != expect:
        sys.exit(f"{' '.join(argv)}: exit status {proc.returncode}, expected {expect}\n"
                 f"--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}")
    return proc


def segmented(proc):
    """The runs a Snakemake run or dry run segments (its rule blocks)."""
    return set(re.findall(r"wildcards: run=(\S+)", proc.stdout + proc.stderr))


def file_times(folder):
    return {os.path.join(d, f): os.stat(os.path.join(d, f)).st_mtime_ns
            for d, _, files in os.walk(folder) for f in files}


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def check_run_by_hand(args, out, key, inputs, mask=None, mask_voxels=None, form="prefix",
                      sources=(), empty=False):
    """The workflow's outputs for one run against dticut run by hand."""
    name = os.path.basename(key)
    hand = os.path.join(args.work, "hand", out, name)
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
    cohort = inputs[1].split("/")[0]
    check(sidecar.get("Sources") == [f"bids:input:{os.path.relpath(p, cohort)}" for p in sources],
          f"{name}: Sources {sidecar.get('Sources')}")
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
    warnings = [line for line in proc.stderr.splitlines() if line.startswith("dticut: ")]
    limited = [line for line in warnings if line.startswith("dticut: limited")]
    limiting = sidecar.get("Limiting") or {}
    check(limiting.get("Message") == (limited[0] if limited else None), f"{name}: Limiting.Message")
    check(sidecar.get("Warnings") == warnings, f"{name}: Warnings {sidecar.get('Warnings')}")
    if limited:
        m = re.match(r"dticut: limited (\d+) pair weights and (\d+) data costs"
                     r" .*?(?:capped at (\d+))?\)$", limited[0])
        figures = [int(g) if g else None for g in m.groups()] if m else None
        check([limiting.get(k) for k in ("PairWeights", "DataCosts", "Cap")] == figures,
              f"{name}: Limiting {limiting}")
    header, voxels = read_nifti(os.path.join(hand, "labels.nii.gz"))
    check(struct.unpack_from("<hh", header, 70) == (2, 8), f"{name}: labels not uint8")
    values = voxels[:SIZE[0] * SIZE[1] * SIZE[2]]
    ones = values.count(1)
    voxels = mask_voxels if mask else len(values)
    check(sidecar.get("Voxels") == voxels and sidecar.get("Label1Voxels") == ones
          and sidecar.get("Label0Voxels") == voxels - ones
          and abs(sidecar.get("Label1Fraction", -1) - ones / voxels) < 1e-12
          and sidecar.get("Label1OutsideMask") == 0 and sidecar.get("Empty") == (ones == 0),
          f"{name}: label counts {sidecar.get('Label0Voxels')} + {sidecar.get('Label1Voxels')} of"
          f" {sidecar.get('Voxels')}, expected {voxels - ones} + {ones}")
    check((ones == 0) == empty and ones < voxels, f"{name}: {ones} of {voxels} in label 1")
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
        warnings = [w for w in sidecar["Warnings"] if w != sidecar["Limiting"]["Message"]]
        check([row["voxels"], row["label1_voxels"], row["energy_before"], row["energy_after"],
               row["warnings"], row["empty"]]
              == [str(sidecar[k]) for k in ("Voxels", "Label1Voxels", "EnergyBefore",
                                            "EnergyAfter")]
              + [" | ".join(warnings) or "n/a", str(sidecar["Empty"]).lower()]
              and abs(float(row["label1_fraction"]) - sidecar["Label1Fraction"]) < 1e-6
              and abs(float(row["seconds"]) - sidecar["RunTimeSeconds"]) < 1e-3,
              f"summary row {row} against its sidecar")
        check(os.path.exists(os.path.join(out_dir, row["labels"])), f"{row['labels']} missing")


def check_page(out_dir, names, failed, flagged=(), notice=None):
    """The page lists every run's picture (the flagged ones first, marked),
    the failures with their messages and the mask notice."""
    with open(os.path.join(out_dir, "group", "index.html"), encoding="utf-8") as f:
        page = f.read()
    pictures = re.findall(r'<img src="([^"]+)"', page)
    check(len(pictures) == len(names), f"index.html: {len(pictures)} pictures, {len(names)} runs")
    for picture in pictures:
        check(os.path.exists(os.path.join(out_dir, "group", picture)), f"{picture} missing")
    order = re.findall(r'<figure id="([^"]+)"( class="flagged")?', page)
    check(sorted(n for n, _ in order) == sorted(names), f"index.html: figures {order}")
    check([n for n, mark in order if mark] == list(flagged)
          and [n for n, _ in order[:len(flagged)]] == list(flagged),
          f"index.html: flagged {list(flagged)} not first and marked: {order}")
    for name, message in failed.items():
        check(name in page and message in page, f"index.html: the failure of {name} missing")
    if notice:
        check(notice in page, f"index.html: no mask notice {notice!r}")
    return page


def check_refused(args, config, message):
    """A configuration refused before any job, with `message`."""
    proc = snakemake(args, "cohort", "refused", config=config)
    output = proc.stdout + proc.stderr
    check(proc.returncode != 0 and message in output and not segmented(proc)
          and not os.path.exists(os.path.join(args.work, "refused")),
          f"config {config} not refused with {message!r}:\n{output[-2000:]}")


def comparable(folder):
    """The outputs of a workflow run that must not depend on where it ran:
    every file's bytes, except the run times (RunTimeSeconds, the summary's
    seconds, the page's time rows) and the logs, which hold times too."""
    files = {}
    for path in sorted(file_times(folder)):
        rel = os.path.relpath(path, folder)
        if rel.startswith("logs/"):
            continue
        data = read_bytes(path)
        if rel.endswith("_dseg.json"):
            sidecar = json.loads(data)
            sidecar.pop("RunTimeSeconds", None)
            data = json.dumps(sidecar).encode()
        elif rel == "group/summary.tsv":
            data = re.sub(rb"\t\d+\.\d{3}\t", b"\tT\t", data)
        elif rel == "group/index.html":
            data = re.sub(rb"<td>time</td><td>[0-9.]+ s</td>", b"", data)
        files[rel] = data
    return files


def main():
    parser = argparse.ArgumentParser()
    for option in ("--snakemake", "--dticut", "--phantom", "--snakefile", "--work"):
        parser.add_argument(option, required=True)
    for option in ("--node", "--bids-validator", "--chromium"):
        parser.add_argument(option, default="")
    args = parser.parse_args()
    args.dticut, args.phantom, args.snakefile, args.work = map(
        os.path.abspath, (args.dticut, args.phantom, args.snakefile, args.work))
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    here = os.path.dirname(os.path.abspath(__file__))

    # The cohort, in the prefix form.
    prefix_run(args, "cohort/sub-01/dwi/sub-01", 1)
    prefix_run(args, "cohort/sub-02/ses-1/dwi/sub-02_ses-1", 2)
    prefix_run(args, "cohort/sub-03/dwi/sub-03", 3)
    broken = os.path.join(args.work, "cohort/sub-03/dwi/sub-03_FA.nii.gz")
    good_fa = read_bytes(broken)
    with open(broken, "wb") as f:
        f.write(good_fa[:len(good_fa) // 2])
    prefix_run(args, "cohort/sub-04/dwi/sub-04", 4)
    mask_voxels = write_mask(os.path.join(args.work, "cohort/sub-04/dwi/sub-04_FA.nii.gz"),
                             os.path.join(args.work, "cohort/sub-04/dwi/sub-04_mask.nii.gz"))
    prefix_run(args, "cohort/sub-05/dwi/sub-05", 5)
    zero_fa(os.path.join(args.work, "cohort/sub-05/dwi/sub-05_FA.nii.gz"))
    ras_and_las(args, "cohort/sub-06/dwi/sub-06", "cohort/sub-07/dwi/sub-07", 6)
    keys = ["sub-01/dwi/sub-01", "sub-02/ses-1/dwi/sub-02_ses-1", "sub-03/dwi/sub-03",
            "sub-04/dwi/sub-04", "sub-05/dwi/sub-05", "sub-06/dwi/sub-06", "sub-07/dwi/sub-07"]
    notice = "1 of 7 runs have a mask; segmented whole, without one: sub-01, sub-02_ses-1, " \
             "sub-03, sub-05, sub-06, sub-07"

    # Configurations refused before any job runs.
    check_refused(args, ["dat_lambda=2"], "unknown config key 'dat_lambda' (did you mean "
                  "'data_lambda'?)")
    check_refused(args, ["maks=none"], "unknown config key 'maks' (did you mean 'mask'?)")
    check_refused(args, ["preview_slices=0"], "0 is less than the minimum of 1")
    check_refused(args, ["mask=sometimes"], "'sometimes' is not one of ['auto', 'required', 'none']")
    check_refused(args, ["mask=required"], "mask: required, but 6 of 7 runs have no mask "
                  "(sub-01, sub-02_ses-1, sub-03, sub-05, sub-06, sub-07)")

    first = snakemake(args, "cohort", "out", extra=["--keep-going"])
    report = first.stdout + first.stderr
    check(first.returncode != 0, "the workflow succeeded with a broken run")
    check(segmented(first) == set(keys), f"first run segmented {sorted(segmented(first))}")
    check(notice in report, f"the console does not say {notice!r}")

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
    # The empty run is flagged on the console, with the total.
    flag_lines = [line for line in report.splitlines() if line.startswith("flagged: ")]
    check(len(flag_lines) == 1 and flag_lines[0].startswith("flagged: sub-05: empty: no voxel in "
                                                           "label 1; warning: dticut: ")
          and "1 of 7 runs flagged" in report, f"flag lines {flag_lines}")

    # The runs that succeeded, against dticut by hand.
    def by_hand(key, **kw):
        stem = "cohort/" + key
        sources = [f"{stem}_{n}.nii.gz" for n in PREFIX_NAMES] + ([kw["mask"]] if "mask" in kw else [])
        return check_run_by_hand(args, "out", key, ["--tensor-prefix", stem], sources=sources, **kw)

    sidecars = {("sub-01", "n/a"): by_hand("sub-01/dwi/sub-01"),
                ("sub-02", "ses-1"): by_hand("sub-02/ses-1/dwi/sub-02_ses-1"),
                ("sub-04", "n/a"): by_hand("sub-04/dwi/sub-04",
                                           mask="cohort/sub-04/dwi/sub-04_mask.nii.gz",
                                           mask_voxels=mask_voxels),
                ("sub-05", "n/a"): by_hand("sub-05/dwi/sub-05", empty=True),
                ("sub-06", "n/a"): by_hand("sub-06/dwi/sub-06"),
                ("sub-07", "n/a"): by_hand("sub-07/dwi/sub-07")}
    out_dir = os.path.join(args.work, "out")
    check(read_bytes(os.path.join(out_dir, "sub-06/dwi/sub-06_desc-dticut_dseg.png"))
          == read_bytes(os.path.join(out_dir, "sub-07/dwi/sub-07_desc-dticut_dseg.png")),
          "the RAS and the LAS copy of one scan give different pictures")
    check_summary(out_dir, {k: v for k, v in sidecars.items() if v})
    names = ["sub-01", "sub-02_ses-1", "sub-04", "sub-05", "sub-06", "sub-07"]
    check_page(out_dir, names, {"sub-03": errors[0] if errors else "dticut: error:"},
               flagged=["sub-05"], notice=notice)
    check_dataset(out_dir)

    # A flagged run fails with fail_on_flag, leaving no result.
    failing = snakemake(args, "cohort", "out-strict", extra=["--keep-going"],
                        config=["fail_on_flag=true"])
    strict = os.path.join(args.work, "out-strict")
    check(failing.returncode != 0 and "sub-05: flagged, and fail_on_flag is set: empty: no voxel in "
          "label 1" in failing.stdout + failing.stderr
          and not os.path.exists(os.path.join(strict, "sub-05/dwi/sub-05_desc-dticut_dseg.nii.gz"))
          and os.path.exists(os.path.join(strict, "sub-01/dwi/sub-01_desc-dticut_dseg.nii.gz")),
          f"fail_on_flag did not fail sub-05 alone:\n{failing.stderr[-2000:]}")

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
    sidecars[("sub-03", "n/a")] = by_hand("sub-03/dwi/sub-03")
    check_summary(out_dir, {k: v for k, v in sidecars.items() if v})
    check_page(out_dir, sorted(names + ["sub-03"]), {}, flagged=["sub-05"], notice=notice)
    check_browser(args, out_dir)
    check_validator(args, here, out_dir)

    # Nothing changed: nothing to do, no file touched.
    before = file_times(args.work)
    again = snakemake(args, "cohort", "out", expect=0)
    check("Nothing to be done" in again.stdout + again.stderr and not segmented(again),
          f"a rerun with nothing changed did something:\n{again.stdout}{again.stderr}")
    after = file_times(args.work)
    changed = sorted(p for p in set(before) | set(after)
                     if before.get(p) != after.get(p) and "/.snakemake/" not in p)
    check(not changed, f"a rerun with nothing changed touched {changed}")

    # The same cohort on Slurm: the same outputs.
    check_slurm(args, here, out_dir)

    # A changed weight plans every run again; a changed input file its run only.
    weight = snakemake(args, "cohort", "out", extra=["--dry-run"],
                       config=["smooth_omnibus_lambda=2"], expect=0)
    check(segmented(weight) == set(keys), f"a changed weight plans {sorted(segmented(weight))}")
    other = phantom_files(args, os.path.join(args.work, "phantoms", "seed9"), 9)
    shutil.copyfile(other["FA"],
                    os.path.join(args.work, "cohort/sub-02/ses-1/dwi/sub-02_ses-1_FA.nii.gz"))
    changed_input = snakemake(args, "cohort", "out", extra=["--dry-run"], expect=0)
    check(segmented(changed_input) == {"sub-02/ses-1/dwi/sub-02_ses-1"},
          f"a changed input of sub-02 plans {sorted(segmented(changed_input))}")

    # The dipy form, with masks named in the three styles: BIDS, dipy's own
    # names (evals.nii.gz ... brain_mask.nii.gz) and FSL's nodif_brain_mask.
    dipy = os.path.join(args.work, "cohort-dipy")
    dipy_run(args, f"{dipy}/sub-01/dwi/sub-01_", 1, f"{dipy}/sub-01/dwi/sub-01_desc-brain_mask.nii.gz")
    dipy_run(args, f"{dipy}/sub-02/ses-1/dwi/", 2, f"{dipy}/sub-02/ses-1/dwi/brain_mask.nii.gz")
    dipy_run(args, f"{dipy}/sub-03/dwi/sub-03_", 3, f"{dipy}/sub-03/dwi/nodif_brain_mask.nii.gz")
    proc = snakemake(args, "cohort-dipy", "out-dipy", config=["form=dipy", "mask=required"],
                     expect=0)
    dipy_keys = {"sub-01/dwi/sub-01": ("sub-01", "n/a", "sub-01_", "sub-01_desc-brain_mask"),
                 "sub-02/ses-1/dwi/sub-02_ses-1": ("sub-02", "ses-1", "", "brain_mask"),
                 "sub-03/dwi/sub-03": ("sub-03", "n/a", "sub-03_", "nodif_brain_mask")}
    check(segmented(proc) == set(dipy_keys), f"dipy form: segmented {sorted(segmented(proc))}")
    dipy_sidecars = {}
    for key, (subject, session, start, mask_name) in dipy_keys.items():
        folder = "cohort-dipy/" + os.path.dirname(key)
        stem = f"{folder}/{start}"
        mask = f"{folder}/{mask_name}.nii.gz"
        header, voxels = read_nifti(os.path.join(args.work, mask))
        dipy_sidecars[(subject, session)] = check_run_by_hand(
            args, "out-dipy", key, ["--evals", stem + "evals.nii.gz", "--evecs",
                                    stem + "evecs.nii.gz", "--scalar", stem + "fa.nii.gz"],
            mask=mask, mask_voxels=voxels.count(1), form="dipy",
            sources=[stem + n + ".nii.gz" for n in ("evals", "evecs", "fa")] + [mask])
    check_summary(os.path.join(args.work, "out-dipy"),
                  {k: v for k, v in dipy_sidecars.items() if v})

    # The tensor energy: a run's seeds found by their name beside its files
    # (sub-01_seeds.nii.gz) and passed with energy=tensor, which takes that
    # energy's weights only.
    tensor = os.path.join(args.work, "cohort-tensor", "sub-01", "dwi")
    os.makedirs(tensor)
    size = "x".join(map(str, SIZE))
    scene = os.path.join(args.work, "phantoms", "tensor")
    os.makedirs(scene)
    run([args.phantom, "--scene", "touching90", "--snr", "20", "--layout", "prefix", "--gzip",
         "--mask", "--size", size, scene], cwd=scene, expect=0)
    for name in PREFIX_NAMES + ("mask", "seeds"):
        shutil.copyfile(os.path.join(scene, f"dti_{name}.nii.gz"),
                        os.path.join(tensor, f"sub-01_{name}.nii.gz"))
    check_refused(args, ["energy=tensor", "data_lambda=100"],
                  "data_lambda weighs the scalar energy, but energy is tensor")
    snakemake(args, "cohort-tensor", "out-tensor", config=["energy=tensor"], expect=0,
              weights={})
    stem = "cohort-tensor/sub-01/dwi/sub-01"
    hand = os.path.join(args.work, "hand", "tensor.nii.gz")
    run([args.dticut, "--tensor-prefix", stem, "--mask", stem + "_mask.nii.gz", "--seeds",
         stem + "_seeds.nii.gz", "--energy", "tensor", "--labels-datatype", "uint8", "-o", hand],
        cwd=args.work, expect=0)
    base = os.path.join(args.work, "out-tensor", "sub-01", "dwi", "sub-01_desc-dticut_dseg")
    check(read_bytes(base + ".nii.gz") == read_bytes(hand), "tensor energy: labels differ")
    with open(base + ".json", encoding="utf-8") as f:
        sidecar = json.load(f)
    check(sidecar["Weights"] == {"BoundaryLambda": 1.0, "RegionLambda": 1.0}
          and "--seeds" in sidecar["Arguments"], f"tensor energy: sidecar {sidecar['Arguments']}")

    print(f"{len(failures)} failed" if failures else "all workflow checks passed")
    return 1 if failures else 0


def check_dataset(out_dir):
    """The derivative dataset's own files."""
    with open(os.path.join(out_dir, "dataset_description.json"), encoding="utf-8") as f:
        description = json.load(f)
    generated = (description.get("GeneratedBy") or [{}])[0]
    check(description.get("DatasetType") == "derivative" and generated.get("Name") == "dticut"
          and generated.get("Version") and "--data-lambda 100" in generated.get("CommandLine", "")
          and description.get("DatasetLinks") == {"input": "../cohort"},
          f"dataset_description.json: {description}")
    check(read_bytes(os.path.join(out_dir, "desc-dticut_dseg.tsv"))
          == b"index\tname\tabbreviation\n0\tbackground\tBG\n1\tsegmented\tSEG\n",
          "desc-dticut_dseg.tsv")
    check(read_bytes(os.path.join(out_dir, ".bidsignore")).split() == [b"*_dseg.png", b"logs/",
                                                                      b"group/"], ".bidsignore")


def check_validator(args, here, out_dir):
    validator = os.path.join(args.bids_validator, "dist", "validator", "main.js")
    if not (args.node and os.path.exists(validator)):
        print("skipped: the BIDS validator (node and npm's bids-validator not given)")
        return
    proc = subprocess.run([args.node, os.path.join(here, "bids_validate.mjs"), validator, out_dir,
                           "--json"], capture_output=True, text=True, timeout=300)
    try:
        issues = json.loads(proc.stdout)["issues"]["issues"]
    except (ValueError, KeyError, TypeError):
        check(False, f"the BIDS validator said nothing readable:\n{proc.stdout[-500:]}"
              f"{proc.stderr[-2000:]}")
        return
    errors = [(i.get("code"), i.get("location")) for i in issues if i.get("severity") == "error"]
    check(proc.returncode == 0 and not errors, f"the BIDS validator's errors: {errors}")


def check_browser(args, out_dir):
    if not args.chromium:
        print("skipped: the page in a browser (chromium not found)")
        return
    import page_check
    page = os.path.join(out_dir, "group", "index.html")
    facts = page_check.page_facts(args.chromium, page, args.work)
    figures = facts["figures"]
    check(len(figures) == 7 and all(f["loaded"] for f in figures),
          f"the browser did not load every picture: {figures}")
    check([f["id"] for f in figures if f["flagged"]] == ["sub-05"] and figures[0]["id"] == "sub-05"
          and figures[0]["reasons"][:1] == ["empty: no voxel in label 1"]
          and facts["flaggedBox"] and "sub-05" in facts["flaggedBox"]
          and facts["flaggedBoxTop"] < figures[0]["top"],
          f"the browser does not show sub-05 flagged at the top: {facts}")
    width, height, pixels = page_check.screenshot(args.chromium, page,
                                                  os.path.join(args.work, "page.png"))
    colours = set(pixels[::7])
    dark = sum(1 for p in pixels[::7] if sum(p) < 100)
    check(len(colours) > 50 and dark > len(pixels) // 70,
          f"the screenshot {width} x {height} looks blank: {len(colours)} colours")


def check_slurm(args, here, out_dir):
    import slurm_cluster
    try:
        with slurm_cluster.SlurmCluster(os.path.join(args.work, "slurm")) as cluster:
            work = os.path.join(args.work, "on-slurm")
            os.makedirs(work)
            os.symlink("../cohort", os.path.join(work, "cohort"))
            profile = os.path.join(os.path.dirname(args.snakefile), "profiles", "slurm")
            proc = snakemake(args, "cohort", "out", cwd=work, env=cluster.env,
                             extra=["--profile", profile, "--max-status-checks-per-second", "5",
                                    "--latency-wait", "5"])
            jobs = re.findall(r"external jobid '(\d+)'", proc.stdout + proc.stderr)
            check(proc.returncode == 0 and len(jobs) == 1,
                  f"on Slurm: status {proc.returncode}, {len(jobs)} jobs (7 runs batched into "
                  f"groups of 10 make 1):\n{(proc.stdout + proc.stderr)[-3000:]}")
            local, remote = comparable(out_dir), comparable(os.path.join(work, "out"))
            differ = sorted(p for p in set(local) | set(remote) if local.get(p) != remote.get(p))
            check(not differ, f"on Slurm, outputs differ from the local run's: {differ}")
    except slurm_cluster.Unavailable as e:
        print(f"skipped: the cohort on Slurm ({e})")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(main())
