#!/usr/bin/env python3
"""Runs dticut for one run of the cohort and writes its JSON sidecar.

usage: segment.py --sidecar FILE.json --log FILE.log [--name NAME] [--form F] [--source FILE]...
                  -- DTICUT [ARGS...]

Runs the dticut command line after `--` as it is, from the working
directory, and keeps its standard output and error in the log. On success it
reads the labels it wrote (-o) and writes the sidecar: the command line, the
weights, the two energies, the label counts (inside the --mask when one is
given), the limiting line's figures, the run time and dticut's version. On
failure the log and standard error get dticut's message, no sidecar is
written and the exit status is dticut's.
"""

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nifti  # noqa: E402

WEIGHTS = {
    "--data-lambda": "DataLambda",
    "--smooth-fa-lambda": "SmoothFaLambda",
    "--smooth-principal-lambda": "SmoothPrincipalLambda",
    "--smooth-omnibus-lambda": "SmoothOmnibusLambda",
}
ENERGY = re.compile(r"^(Before|After) optimization energy is :\t(-?\d+)$")
LIMITED = re.compile(
    r"^dticut: limited (\d+) pair weights and (\d+) data costs to keep the energy within 32 bits"
    r" \((.*)\)$")
CAP = re.compile(r"larger values capped at (\d+)")


def option_value(argv, name):
    """The value after the last `name` in argv (before any `--`), or None."""
    value = None
    for i, arg in enumerate(argv[:-1]):
        if arg == "--":
            break
        if arg == name:
            value = argv[i + 1]
    return value


def write_atomically(path, text):
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def fail(log, message, status=1):
    log.write(message + "\n")
    print(message, file=sys.stderr)
    sys.exit(status)


def main():
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[1])
    parser.add_argument("--sidecar", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--name", help="the run's name in messages (default: the sidecar's)")
    parser.add_argument("--form", default="prefix")
    parser.add_argument("--source", action="append", default=[])
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    argv = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not argv:
        parser.error("no dticut command after --")
    labels = option_value(argv, "-o") or option_value(argv, "--output")
    if labels is None:
        parser.error("the dticut command has no -o")
    mask = option_value(argv, "--mask")
    name = args.name or re.sub(r"\.json$", "", os.path.basename(args.sidecar))

    os.makedirs(os.path.dirname(os.path.abspath(args.log)), exist_ok=True)
    with open(args.log, "w", encoding="utf-8") as log:
        log.write("$ " + shlex.join(argv) + "\n")
        log.flush()
        start = time.monotonic()
        try:
            proc = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True)
        except OSError as e:
            fail(log, f"{name}: cannot run {argv[0]}: {e.strerror}")
        seconds = time.monotonic() - start
        out = proc.stdout.decode("utf-8", "replace")
        err = proc.stderr.decode("utf-8", "replace")
        log.write(out)
        log.write(err)
        log.write(f"exit status {proc.returncode} after {seconds:.3f} s\n")
        if proc.returncode != 0:
            lines = [line for line in err.splitlines() if line.startswith("dticut: error:")]
            fail(log, f"{name}: dticut failed (exit status {proc.returncode}): "
                 + ("; ".join(lines) or err.strip() or "no message"), proc.returncode)

        energies = {}
        for line in out.splitlines():
            m = ENERGY.match(line)
            if m:
                energies[m.group(1)] = int(m.group(2))
        if set(energies) != {"Before", "After"}:
            fail(log, f"{name}: dticut's standard output lacks the two energy lines")
        limiting = {"PairWeights": 0, "DataCosts": 0, "Cap": None, "Message": None}
        for line in err.splitlines():
            m = LIMITED.match(line)
            if m:
                cap = CAP.search(m.group(3))
                limiting = {"PairWeights": int(m.group(1)), "DataCosts": int(m.group(2)),
                            "Cap": int(cap.group(1)) if cap else None, "Message": line}
        try:
            counts = nifti.count_labels(labels, mask)
        except (OSError, nifti.NiftiError) as e:
            fail(log, f"{name}: cannot count the labels: {e}")
        version = subprocess.run([argv[0], "--version"], capture_output=True, text=True)
        version = re.sub(r"^dticut\s+", "", version.stdout.strip())

        sidecar = {
            "Description": "Two-label graph-cut segmentation of a diffusion-tensor fit by dticut",
            "Sources": args.source,
            "Form": args.form,
            "Mask": mask,
            "CommandLine": shlex.join(argv),
            "Arguments": argv,
            "DticutVersion": version,
            "Weights": {key: float(option_value(argv, opt) or 1) for opt, key in WEIGHTS.items()},
            "EnergyBefore": energies["Before"],
            "EnergyAfter": energies["After"],
            "Voxels": counts["Voxels"],
            "Label0Voxels": counts["Label0Voxels"],
            "Label1Voxels": counts["Label1Voxels"],
            "Label1Fraction": counts["Label1Voxels"] / max(counts["Voxels"], 1),
            "Label1OutsideMask": counts["Label1OutsideMask"],
            "Limiting": limiting,
            "RunTimeSeconds": round(seconds, 3),
        }
        write_atomically(args.sidecar, json.dumps(sidecar, indent=2) + "\n")
        log.write(f"sidecar: {args.sidecar}\n")


if __name__ == "__main__":
    main()
