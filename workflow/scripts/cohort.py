"""The runs of a cohort laid out as BIDS derivatives of a tensor fit.

Every run lives in DIR/sub-<id>/dwi/ or DIR/sub-<id>/ses-<id>/dwi/:
- form "prefix": a file PREFIX_L1.nii.gz (or .nii) is one run, read by
  `dticut --tensor-prefix PREFIX` (PREFIX_L1, _V1, _L2, _V2, _L3, _V3, _FA);
- form "dipy": a file STEMevals.nii.gz (or .nii) is one run, read by
  `dticut --evals STEMevals --evecs STEMevecs --scalar STEMfa`.
Files that are missing are not looked for further: dticut names them when
the run fails.

A run's mask and seeds are found beside its files by the names the field's
tools write. With S the start its file names share (PREFIX_ in the prefix
form, STEM in the dipy form: "sub-01_", or "" for dipy's own names), each
NAME below as NAME.nii.gz or else NAME.nii, the first that exists:
  mask:  S desc-brain_mask   BIDS (sub-01_desc-brain_mask.nii.gz)
         S brain_mask        dipy's median_otsu (brain_mask.nii.gz), FSL
                             bet -m of the run's name (sub-01_brain_mask)
         S mask              dipy's mask.nii.gz, dtifit -m's sub-01_mask
         *_brain_mask        FSL's (nodif_brain_mask.nii.gz): the folder's
                             only such file not named sub-* (those belong to
                             their runs); several are refused
  seeds: S desc-seeds_dseg   BIDS (sub-01_desc-seeds_dseg.nii.gz)
         S seeds             (sub-01_seeds.nii.gz)
A pattern given instead (mask_pattern, seeds_pattern) is the only name
looked for: a glob relative to the run's folder in which {stem} stands for
S, that must match at most one file.

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
    args (dticut's input arguments), mask and seeds (paths or None)."""

    def __init__(self, key, subject, session, inputs, args, mask, seeds=None):
        self.key = key
        self.name = os.path.basename(key)
        self.subject = subject
        self.session = session
        self.inputs = inputs
        self.args = args
        self.mask = mask
        self.seeds = seeds


def find_nifti(stem):
    """stem.nii.gz if it exists, else stem.nii if it exists, else None."""
    for ext in (".nii.gz", ".nii"):
        if os.path.isfile(stem + ext):
            return stem + ext
    return None


MASK_NAMES = ("desc-brain_mask", "brain_mask", "mask")
SEEDS_NAMES = ("desc-seeds_dseg", "seeds")


def find_beside(folder, start, names, pattern, what, fsl_glob=None):
    """The run's file of one kind (mask, seeds) by the rules above, or None;
    start is S, pattern the configured glob (or None)."""
    if pattern:
        glob_pattern = os.path.join(glob.escape(folder), pattern.replace("{stem}", glob.escape(start)))
        found = sorted(glob.glob(glob_pattern))
        if len(found) > 1:
            raise CohortError(f"{what}_pattern {pattern!r} matches {len(found)} files for the run "
                              f"{os.path.join(folder, start)}*: {', '.join(found)}")
        return found[0] if found else None
    for name in names:
        path = find_nifti(os.path.join(folder, start + name))
        if path:
            return path
    if fsl_glob is None:
        return None
    found = sorted({f for ext in (".nii.gz", ".nii")
                    for f in glob.glob(os.path.join(glob.escape(folder), fsl_glob + ext))
                    if not os.path.basename(f).startswith("sub-")})
    if len(found) > 1:
        raise CohortError(f"{os.path.join(folder, start)}*: no {what} of its own, and "
                          f"{len(found)} files {fsl_glob} in the folder: {', '.join(found)}; name "
                          f"the run's {what} with {what}_pattern")
    return found[0] if found else None


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


def discover(input_dir, form, mask_pattern=None, seeds_pattern=None):
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
                start = stem + "_"
            else:
                inputs = {n: find_nifti(path + n) for n in ("evals", "evecs", "fa")}
                args = ["--evals", inputs["evals"],
                        "--evecs", inputs["evecs"] or path + "evecs.nii.gz",
                        "--scalar", inputs["fa"] or path + "fa.nii.gz"]
                start = stem
            mask = find_beside(folder, start, MASK_NAMES, mask_pattern, "mask", "*_brain_mask")
            seeds = find_beside(folder, start, SEEDS_NAMES, seeds_pattern, "seeds")
            if key in runs:
                raise CohortError(f"{path} and {runs[key].args[1]} both give the outputs {key}_*: "
                                  "give them different BIDS entities (acq-, run-, ...)")
            inputs = {n: f for n, f in inputs.items() if f is not None}
            runs[key] = Run(key, subject, session, inputs, args, mask, seeds)
    return [runs[k] for k in sorted(runs)]
