"""The runs of a cohort laid out as BIDS derivatives of a tensor fit.

Every run lives in DIR/sub-<id>/dwi/ or DIR/sub-<id>/ses-<id>/dwi/:
- form "prefix": a file PREFIX_L1.nii.gz (or .nii) is one run, read by
  `dticut --tensor-prefix PREFIX` (PREFIX_L1, _V1, _L2, _V2, _L3, _V3, _FA);
- form "dipy": a file STEMevals.nii.gz (or .nii) is one run, read by
  `dticut --evals STEMevals --evecs STEMevecs --scalar STEMfa`.
A file STEMmask.nii.gz (or .nii) beside them (PREFIX_mask for the prefix
form) is the run's mask. Files that are missing are not looked for further:
dticut names them when the run fails.

A run's outputs are named after its subject, its session and any other
BIDS entities of its files (acq-, run-, space-, ...; a desc- entity is
replaced): sub-01/ses-1/dwi/sub-01_ses-1_desc-dticut_dseg.nii.gz.
"""

import glob
import os
import re

PREFIX_NAMES = ("L1", "V1", "L2", "V2", "L3", "V3", "FA")
FORMS = {
    "prefix": re.compile(r"^(.*)_L1\.nii(\.gz)?$"),
    "dipy": re.compile(r"^(.*)evals\.nii(\.gz)?$"),
}
ENTITY = re.compile(r"^([a-zA-Z0-9]+)-([a-zA-Z0-9]+)$")
LABEL = re.compile(r"^[a-zA-Z0-9]+$")


class CohortError(Exception):
    pass


class Run:
    """One run: key (the output path below the output folder without its
    suffix, e.g. sub-01/ses-1/dwi/sub-01_ses-1), subject and session (e.g.
    "sub-01", "ses-1" or None), inputs (the files that exist, by role),
    args (dticut's input arguments), mask (a path or None)."""

    def __init__(self, key, subject, session, inputs, args, mask):
        self.key = key
        self.name = os.path.basename(key)
        self.subject = subject
        self.session = session
        self.inputs = inputs
        self.args = args
        self.mask = mask


def find_nifti(stem):
    """stem.nii.gz if it exists, else stem.nii if it exists, else None."""
    for ext in (".nii.gz", ".nii"):
        if os.path.isfile(stem + ext):
            return stem + ext
    return None


def run_name(stem, subject, session, path):
    """The output name of a run whose files start with stem (their basename
    before _L1 or evals), in the folder of subject and session."""
    parts = [subject] + ([session] if session else [])
    for part in stem.strip("_").split("_"):
        m = ENTITY.match(part)
        if not m:
            continue
        key = m.group(1)
        if key == "sub" and part != subject:
            raise CohortError(f"{path}: {part} in the name of a file of {subject}")
        if key == "ses" and part != session:
            raise CohortError(f"{path}: {part} in the name of a file of {session or 'no session'}")
        if key not in ("sub", "ses", "desc"):
            parts.append(part)
    return "_".join(parts)


def dwi_folders(input_dir):
    """(folder, subject, session) of every sub-*/dwi and sub-*/ses-*/dwi."""
    found = []
    for pattern in ("sub-*/dwi", "sub-*/ses-*/dwi"):
        for folder in sorted(glob.glob(os.path.join(glob.escape(input_dir), pattern))):
            if not os.path.isdir(folder):
                continue
            rel = os.path.relpath(folder, input_dir).split(os.sep)
            subject, session = rel[0], rel[1] if len(rel) == 3 else None
            if not LABEL.match(subject[4:]) or (session and not LABEL.match(session[4:])):
                continue
            found.append((folder, subject, session))
    return found


def discover(input_dir, form):
    """Every run under input_dir, sorted by key."""
    if form not in FORMS:
        raise CohortError(f"form must be one of {', '.join(FORMS)}, not {form!r}")
    if not os.path.isdir(input_dir):
        raise CohortError(f"input folder {input_dir} does not exist")
    runs = {}
    for folder, subject, session in dwi_folders(input_dir):
        stems = sorted({m.group(1) for m in map(FORMS[form].match, os.listdir(folder)) if m})
        for stem in stems:
            path = os.path.join(folder, stem)
            name = run_name(stem, subject, session, path)
            key = "/".join([subject] + ([session] if session else []) + ["dwi", name])
            if form == "prefix":
                inputs = {n: find_nifti(f"{path}_{n}") for n in PREFIX_NAMES}
                args = ["--tensor-prefix", path]
                mask = find_nifti(f"{path}_mask")
            else:
                inputs = {n: find_nifti(path + n) for n in ("evals", "evecs", "fa")}
                args = ["--evals", inputs["evals"],
                        "--evecs", inputs["evecs"] or path + "evecs.nii.gz",
                        "--scalar", inputs["fa"] or path + "fa.nii.gz"]
                mask = find_nifti(path + "mask")
            if key in runs:
                raise CohortError(f"{path} and {runs[key].args[1]} both give the outputs {key}_*: "
                                  "give them different BIDS entities (acq-, run-, ...)")
            inputs = {n: f for n, f in inputs.items() if f is not None}
            runs[key] = Run(key, subject, session, inputs, args, mask)
    return [runs[k] for k in sorted(runs)]
