"""The segment rule of the Snakefile: runs dticut for one run of the cohort
and writes its JSON sidecar.

Run by Snakemake's script directive, which defines `snakemake`: its
params.job holds the run's name, dticut's command line (argv), the form,
the Sources as BIDS URIs and fail_on_flag; output.sidecar and log[0] are
where the sidecar and the log go.

dticut runs from the working directory with `--report` added, so that it
records the run's facts itself, and its standard output and error go to the
log. On success the sidecar is written from that report: the sources, the
command line (as given: it reproduces the labels and the picture), the
weights, the two energies, the label counts (inside the --mask when one is
given), the limiting, the warnings, whether the result is empty, the run
time and dticut's version. A run that is flagged (group.flags) fails with
fail_on_flag, its outputs removed. On failure the log and standard error get
dticut's message (or the flags), no sidecar is written and the exit status
is dticut's (1 for a flag).
"""

import json
import os
import shlex
import subprocess
import sys
import time

import group


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


def sidecar_of(report, job):
    """The sidecar's fields, in their order, from dticut's report."""
    argv = job["argv"]
    labels = report["Labels"]
    limiting = report["Limiting"]
    return {
        "Description": "Two-label graph-cut segmentation of a diffusion-tensor fit by dticut",
        "Sources": job["sources"],
        "Form": job["form"],
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
        "Warnings": report["Warnings"],
        "Empty": report["Empty"],
    }


def segment(job, sidecar_path, log_path):
    argv, name = job["argv"], job["name"]
    report_path = f"{sidecar_path}.report{os.getpid()}"
    os.makedirs(os.path.dirname(os.path.abspath(log_path)), exist_ok=True)
    with open(log_path, "w", encoding="utf-8") as log:
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
        sidecar = sidecar_of(report, job)
        sidecar["RunTimeSeconds"] = round(seconds, 3)
        flags = group.flags(sidecar)
        if flags and job["fail_on_flag"]:
            for path in (option_value(argv, "-o"), option_value(argv, "--preview")):
                if path and os.path.exists(path):
                    os.remove(path)
            for flag in flags:
                log.write(f"flagged: {flag}\n")
            fail(log, f"{name}: flagged, and fail_on_flag is set: " + "; ".join(flags))
        write_atomically(sidecar_path, json.dumps(sidecar, indent=2) + "\n")
        log.write(f"sidecar: {sidecar_path}\n")


snakemake = globals()["snakemake"]
segment(snakemake.params.job, snakemake.output.sidecar, snakemake.log[0])
