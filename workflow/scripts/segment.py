#!/usr/bin/env python3
"""Runs dticut for one run of the cohort and writes its JSON sidecar.

usage: segment.py --sidecar FILE.json --log FILE.log [--name NAME] [--form F] [--source FILE]...
                  -- DTICUT [ARGS...]

Runs the dticut command line after `--` from the working directory, with
`--report` added so that dticut records the run's facts itself, and keeps
its standard output and error in the log. On success it writes the sidecar
from that report: the command line (as given: it reproduces the labels and
the picture), the weights, the two energies, the label counts (inside the
--mask when one is given), the limiting, the run time and dticut's version.
On failure the log and standard error get dticut's message, no sidecar is
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


def sidecar_of(report, argv, args):
    """The sidecar's fields, in their order, from dticut's report."""
    labels = report["Labels"]
    limiting = report["Limiting"]
    return {
        "Description": "Two-label graph-cut segmentation of a diffusion-tensor fit by dticut",
        "Sources": args.source,
        "Form": args.form,
        "Mask": option_value(argv, "--mask"),
        "CommandLine": shlex.join(argv),
        "Arguments": argv,
        "DticutVersion": report["Version"],
        "Weights": {key: float(value) for key, value in report["Weights"].items()},
        "EnergyBefore": report["EnergyBefore"],
        "EnergyAfter": report["EnergyAfter"],
        "Voxels": labels["Segmented"],
        "Label0Voxels": labels["Label0"],
        "Label1Voxels": labels["Label1"],
        "Label1Fraction": labels["Label1"] / max(labels["Segmented"], 1),
        # dticut writes label 0 at every voxel outside the mask.
        "Label1OutsideMask": 0,
        "Limiting": {"PairWeights": limiting["PairWeights"], "DataCosts": limiting["DataCosts"],
                     "Cap": limiting["Cap"], "Message": limiting["Message"]},
    }


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
    name = args.name or re.sub(r"\.json$", "", os.path.basename(args.sidecar))
    report_path = f"{args.sidecar}.report{os.getpid()}"

    os.makedirs(os.path.dirname(os.path.abspath(args.log)), exist_ok=True)
    with open(args.log, "w", encoding="utf-8") as log:
        log.write("$ " + shlex.join(argv) + "\n")
        log.flush()
        start = time.monotonic()
        try:
            proc = subprocess.run(argv + ["--report", report_path], stdin=subprocess.DEVNULL,
                                  capture_output=True)
        except OSError as e:
            fail(log, f"{name}: cannot run {argv[0]}: {e.strerror}")
        seconds = time.monotonic() - start
        log.write(proc.stdout.decode("utf-8", "replace"))
        err = proc.stderr.decode("utf-8", "replace")
        log.write(err)
        log.write(f"exit status {proc.returncode} after {seconds:.3f} s\n")
        if proc.returncode != 0:
            lines = [line for line in err.splitlines() if line.startswith("dticut: error:")]
            fail(log, f"{name}: dticut failed (exit status {proc.returncode}): "
                 + ("; ".join(lines) or err.strip() or "no message"), proc.returncode)
        try:
            with open(report_path, encoding="utf-8") as f:
                report = json.load(f)
            os.remove(report_path)
        except (OSError, ValueError) as e:
            fail(log, f"{name}: cannot read dticut's report {report_path}: {e}")
        sidecar = sidecar_of(report, argv, args)
        sidecar["RunTimeSeconds"] = round(seconds, 3)
        write_atomically(args.sidecar, json.dumps(sidecar, indent=2) + "\n")
        log.write(f"sidecar: {args.sidecar}\n")


if __name__ == "__main__":
    main()
