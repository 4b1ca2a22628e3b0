# The workflow's shared part: the configuration checked against its schema
# and dticut's weights table, the dticut executable and what it takes, the
# runs of the cohort with their masks and seeds, and each run's paths and
# command line. Everything here is decided once, when the Snakefile is
# read, so that a wrong key, a missing mask (mask: required) or a dticut
# that cannot run stops the workflow before any job.

import difflib
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys

import yaml
from snakemake.exceptions import WorkflowError
from snakemake.logging import logger
from snakemake.utils import validate

sys.path.insert(0, os.path.join(workflow.basedir, "scripts"))
import cohort  # noqa: E402
import group as group_page  # noqa: E402

SCHEMA = os.path.join(workflow.basedir, "schemas", "config.schema.yaml")
DSEG = "_desc-dticut_dseg"

configfile: os.path.join(workflow.basedir, "..", "config", "config.yaml")


def run_text(argv):
    try:
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        raise WorkflowError(f"cannot run {argv[0]}: {e}")
    return proc.returncode, proc.stdout


# dticut: a path (with a /) as it is, else looked up in PATH; its version,
# its options and its weights come from the executable itself.
_dticut = str(config.get("dticut") or "dticut")
DTICUT = os.path.abspath(_dticut) if os.sep in _dticut else shutil.which(_dticut)
if DTICUT is None or not os.access(DTICUT, os.X_OK):
    raise WorkflowError(f"dticut executable {_dticut!r} not found: "
                        "put it in PATH or give --config dticut=PATH")
_help = run_text([DTICUT, "--help"])[1]
VERSION = run_text([DTICUT, "--version"])[1].strip().replace("dticut ", "", 1)
TAKES = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", _help))
_status, _listed = run_text([DTICUT, "--list-weights"])
try:
    WEIGHT_TABLE = json.loads(_listed) if _status == 0 else None
except ValueError:
    WEIGHT_TABLE = None
if not isinstance(WEIGHT_TABLE, dict):
    raise WorkflowError(f"{DTICUT} (version {VERSION}) does not list its weights "
                        "(dticut --list-weights); use the dticut of this workflow's version")

# Every key the workflow takes: the schema's, and one per weight of
# dticut's table (the schema allows any *_lambda key; which ones exist is
# dticut's to say). A misspelt key would otherwise be ignored and the cohort
# run with a default.
with open(SCHEMA, encoding="utf-8") as _f:
    _schema = yaml.safe_load(_f)
KEYS = [*_schema["properties"], *WEIGHT_TABLE]
for _key in config:
    if _key not in KEYS:
        _near = difflib.get_close_matches(str(_key), KEYS, n=1)
        raise WorkflowError(f"unknown config key {_key!r}"
                            + (f" (did you mean {_near[0]!r}?)" if _near else "")
                            + "; the keys are " + ", ".join(KEYS))
for _key in ("input", "output"):
    if config.get(_key) in (None, ""):
        raise WorkflowError(f"give the {_key} folder: --config {_key}=DIR")
# --config gives text: true and false, as YAML writes them, are the booleans.
for _key, _property in _schema["properties"].items():
    if _property.get("type") == "boolean" and str(config.get(_key)).lower() in ("true", "false"):
        config[_key] = str(config[_key]).lower() == "true"
validate(config, SCHEMA)

IN = os.path.normpath(config["input"])
OUT = os.path.normpath(config["output"])
FORM = config["form"]


def single_precision(value):
    """value as dticut reads a weight (a finite single-precision number), or
    None when dticut would refuse it."""
    try:
        number = struct.unpack("f", struct.pack("f", float(str(value))))[0]
    except (ValueError, OverflowError):
        return None
    return number if math.isfinite(number) and not isinstance(value, bool) else None


# The energy minimised (dticut's default when not given); each weight
# belongs to one of dticut's energies, and giving one of another energy is
# refused, as dticut refuses it.
ENERGY = config["energy"] or "scalar"
_energies = sorted({row.get("energy", "scalar") for row in WEIGHT_TABLE.values()})
if ENERGY not in _energies:
    raise WorkflowError(f"energy must be one of {', '.join(_energies)}, not {ENERGY!r}")
for _key, _row in WEIGHT_TABLE.items():
    if _key in config and _row.get("energy", "scalar") != ENERGY:
        raise WorkflowError(f"{_key} weighs the {_row['energy']} energy, but energy is {ENERGY}"
                            f"; set energy={_row['energy']}")

# Every weight of the energy is passed to every run, as written in the
# config or at dticut's default; refused here once rather than by dticut in
# every run.
WEIGHTS = {}
for _key, _row in WEIGHT_TABLE.items():
    if _row.get("energy", "scalar") != ENERGY:
        continue
    _value = config.get(_key, _row["default"])
    if single_precision(_value) is None:
        raise WorkflowError(f"{_key} must be a finite single-precision number, not {_value!r}")
    WEIGHTS[_key] = str(_value)
if FORM == "dipy" and "--evals" not in TAKES:
    raise WorkflowError(f"form=dipy needs a dticut that takes --evals, --evecs and --scalar; "
                        f"{DTICUT} (version {VERSION}) does not")
if config["energy"] and "--energy" not in TAKES:
    raise WorkflowError(f"energy={config['energy']} needs a dticut that takes --energy; "
                        f"{DTICUT} (version {VERSION}) does not")

try:
    RUNS = {run.key: run for run in cohort.discover(IN, FORM, config["mask_pattern"],
                                                    config["seeds_pattern"])}
except cohort.CohortError as e:
    raise WorkflowError(str(e))
if not RUNS:
    where = "*_L1.nii.gz or *_L1.nii" if FORM == "prefix" else "*evals.nii.gz or *evals.nii"
    raise WorkflowError(f"no runs in {IN}: looked for {where} in sub-*/dwi/ and sub-*/ses-*/dwi/")

# Masks: passed when found (mask: auto, required) and dticut takes them.
_unmasked = [run.name for run in RUNS.values() if not run.mask]
if config["mask"] == "required" and _unmasked:
    raise WorkflowError(f"mask: required, but {len(_unmasked)} of {len(RUNS)} runs have no mask "
                        f"({', '.join(_unmasked)}); looked for "
                        + (repr(config["mask_pattern"]) if config["mask_pattern"] else
                           "*desc-brain_mask, *brain_mask, *mask, then a folder's *_brain_mask")
                        + " (.nii.gz or .nii) beside their files")
USE_MASKS = config["mask"] != "none" and "--mask" in TAKES
if config["mask"] != "none" and "--mask" not in TAKES and len(_unmasked) < len(RUNS):
    logger.warning(f"{len(RUNS) - len(_unmasked)} runs have a mask, but {DTICUT} (version "
                   f"{VERSION}) takes no --mask: they are segmented whole")
# A cohort of masked and unmasked runs: their label-1 fractions count
# different voxels, which the console and the page say.
MASK_NOTICE = None
if USE_MASKS and 0 < len(_unmasked) < len(RUNS):
    MASK_NOTICE = (f"{len(RUNS) - len(_unmasked)} of {len(RUNS)} runs have a mask; segmented "
                   f"whole, without one: {', '.join(_unmasked)}")
    logger.warning(MASK_NOTICE)
_seeded = [run.name for run in RUNS.values() if run.seeds]
USE_SEEDS = "--seeds" in TAKES and ENERGY == "tensor"
if _seeded and not USE_SEEDS:
    logger.warning(f"{len(_seeded)} runs have seeds, but they mark voxels for dticut's tensor "
                   "energy (energy: tensor), which this cohort does not use: they are segmented "
                   "without")


def out_path(run, suffix):
    return os.path.join(OUT, run.key + suffix)


def log_path(run):
    return os.path.join(OUT, "logs", run.key + ".log")


def mask(run):
    return run.mask if USE_MASKS else None


def seeds(run):
    return run.seeds if USE_SEEDS else None


def command(run):
    """dticut's command line for a run."""
    argv = [DTICUT] + run.args
    if mask(run):
        argv += ["--mask", mask(run)]
    if seeds(run):
        argv += ["--seeds", seeds(run)]
    if config["energy"]:
        argv += ["--energy", config["energy"]]
    for key in WEIGHTS:
        argv += [WEIGHT_TABLE[key]["option"], WEIGHTS[key]]
    if "--labels-datatype" in TAKES:
        argv += ["--labels-datatype", config["labels_datatype"]]
    argv += ["-o", out_path(run, DSEG + ".nii.gz"), "--preview", out_path(run, DSEG + ".png")]
    if "--preview-slices" in TAKES:
        argv += ["--preview-slices", str(config["preview_slices"])]
    return argv


def run_inputs(run):
    """The run's files that exist, by role (L1 ... FA or evals, evecs, fa;
    mask, seeds)."""
    extra = {"mask": mask(run), "seeds": seeds(run)}
    return {**run.inputs, **{role: path for role, path in extra.items() if path}}


def bids_uri(path):
    """A file of the input as a BIDS URI: bids:<input_name>:<path in it>."""
    return f"bids:{config['input_name']}:" + os.path.relpath(path, IN).replace(os.sep, "/")


def segment_job(run):
    """What the segment script needs to know about a run."""
    return {"name": run.name, "argv": command(run), "form": FORM,
            "sources": [bids_uri(path) for path in run_inputs(run).values()],
            "fail_on_flag": config["fail_on_flag"]}


def group_runs():
    return [{"name": run.name, "subject": run.subject, "session": run.session,
             "labels": out_path(run, DSEG + ".nii.gz"), "preview": out_path(run, DSEG + ".png"),
             "sidecar": out_path(run, DSEG + ".json"), "log": log_path(run),
             "arguments": command(run), "mask": mask(run)} for run in RUNS.values()]


def weight_facts():
    return {WEIGHT_TABLE[key]["option"]: WEIGHTS[key] for key in WEIGHTS}


def group_facts():
    """What the group page and summary are made from."""
    return {"out": OUT, "runs": group_runs(), "weights": weight_facts(), "version": VERSION,
            "mask_notice": MASK_NOTICE}


def common_command():
    """dticut's command line with what every run shares, its own files as
    placeholders: dataset_description.json's GeneratedBy command."""
    argv = ["dticut", "INPUTS"] + (["[--mask MASK]"] if USE_MASKS else [])
    if USE_SEEDS:
        argv += ["[--seeds SEEDS]"]
    shared = command(next(iter(RUNS.values())))
    for i, arg in enumerate(shared[:-1]):
        if arg in ("--energy", "--labels-datatype", "--preview-slices") or any(
                arg == row["option"] for row in WEIGHT_TABLE.values()):
            argv += [arg, shared[i + 1]]
    return " ".join(argv + ["-o", "LABELS", "--preview", "PICTURE"])


def dataset_facts():
    """The top-level files of the derivative dataset."""
    return {"version": VERSION, "input_name": config["input_name"],
            "input": os.path.relpath(IN, OUT).replace(os.sep, "/"), "command": common_command()}
