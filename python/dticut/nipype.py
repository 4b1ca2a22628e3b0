"""A Nipype interface to the dticut command: dticut.nipype.Segment.

Segment runs the dticut executable found on PATH when this module is first
imported, always that same file (its absolute path), so that the inputs it
offers are that executable's. Its weight inputs are not written out here:
they are made from the command's own table (`dticut --list-weights`), one
float input per weight, named by its Python keyword and passed as its
option, so a weight added to the command appears here with nothing to
change. The choices of `energy` are the energies that table names.

Every path is resolved to an absolute one when it is set (a node runs in
its own folder) and quoted on the command line (Nipype runs it through the
shell), so that no file name can be read as an option or as shell syntax.
Outputs go to the working folder (a node's own): the labels to
<stem>_labels.nii.gz, and with preview=True / report=True the picture and
the run's JSON record to <stem>_preview.png / <stem>_report.json, where stem
is the first input's file name without .nii or .nii.gz (the tensor prefix's
last part for tensor_prefix); a path given instead is used as it is.
"""

import hashlib
import json
import os
import shlex
import shutil
import subprocess

from nipype.interfaces.base import (CommandLine, CommandLineInputSpec, File, TraitedSpec,
                                    isdefined, traits)

# The tensor-prefix form's files, each PREFIX_NAME.nii.gz or else
# PREFIX_NAME.nii, as the command looks for them.
_PREFIX_NAMES = ("L1", "V1", "L2", "V2", "L3", "V3", "FA")
# The outputs, each a name after the first input's stem unless given.
_OUTPUT_SUFFIXES = {"out_file": "_labels.nii.gz", "preview": "_preview.png",
                    "report": "_report.json"}


def _find_command():
    """The dticut on PATH, its version and its weights table, or ImportError."""
    path = shutil.which("dticut")
    if path is None:
        raise ImportError("dticut.nipype wraps the dticut command, which is not on PATH: install "
                          "it (cmake --install build --prefix DIR) and put DIR/bin on PATH")
    path = os.path.abspath(path)

    def ask(option):
        try:
            done = subprocess.run([path, option], capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.SubprocessError) as error:
            raise ImportError(f"dticut.nipype: cannot run {path} {option}: {error}") from None
        if done.returncode != 0:
            raise ImportError(f"dticut.nipype: {path} {option} failed (status {done.returncode}): "
                              f"{done.stderr.strip()}; use a dticut that lists its weights")
        return done.stdout

    version = ask("--version").strip().replace("dticut ", "", 1)
    try:
        table = json.loads(ask("--list-weights"))
    except ValueError as error:
        raise ImportError(f"dticut.nipype: {path} --list-weights printed no JSON table: "
                          f"{error}") from None
    return path, version, table


_COMMAND, _VERSION, WEIGHTS = _find_command()


def _prefix_files(prefix):
    """The tensor-prefix form's files as the command picks them."""
    picked = []
    for name in _PREFIX_NAMES:
        gzipped = f"{prefix}_{name}.nii.gz"
        picked.append(gzipped if os.path.exists(gzipped) else f"{prefix}_{name}.nii")
    return picked


def _input(argstr, desc, **metadata):
    """An existing input file, made absolute when set."""
    return File(exists=True, resolve=True, argstr=argstr, desc=desc, **metadata)


def _output(argstr, desc):
    # Either a path, or True for the generated name in the working folder.
    return traits.Either(traits.Bool, File(), argstr=argstr, hash_files=False, desc=desc)


class _SegmentInputsBase(CommandLineInputSpec):
    files = traits.List(
        File(exists=True, resolve=True), minlen=13, maxlen=13, argstr="-- %s", position=-1,
        mandatory=True, xor=["tensor_prefix", "evals", "evecs", "scalar"],
        desc="the thirteen-volume form: L1 V1x V1y V1z L2 V2x V2y V2z L3 V3x V3y V3z SCALAR")
    tensor_prefix = File(
        resolve=True, argstr="--tensor-prefix %s", mandatory=True,
        xor=["files", "evals", "evecs", "scalar"],
        desc="the seven files PREFIX_L1 ... PREFIX_FA of a tensor fit (.nii.gz, else .nii)")
    evals = _input("--evals %s", "the dipy form's eigenvalues (X x Y x Z x 3)", mandatory=True,
                   xor=["files", "tensor_prefix"], requires=["evecs", "scalar"])
    evecs = _input("--evecs %s", "the dipy form's eigenvectors (X x Y x Z x 3 x 3, or 9 volumes)",
                   xor=["files", "tensor_prefix"], requires=["evals", "scalar"])
    scalar = _input("--scalar %s", "the dipy form's scalar volume (e.g. fractional anisotropy)",
                    xor=["files", "tensor_prefix"], requires=["evals", "evecs"])
    mask = _input("--mask %s", "segment only the voxels where it is non-zero and not NaN")
    seeds = _input("--seeds %s", "with energy='tensor': 1 marks the structure (label 1), 2 not "
                   "the structure (label 0), 0 free")
    energy = traits.Enum(*dict.fromkeys(row["energy"] for row in WEIGHTS.values()),
                         argstr="--energy %s", desc="the energy minimised (default: scalar)")
    ignore_geometry = traits.Bool(argstr="--ignore-geometry",
                                  desc="segment inputs whose voxel-to-world transforms differ "
                                       "(a warning instead of an error)")
    out_file = File(argstr="-o %s", genfile=True, hash_files=False,
                    desc="the labels (default <stem>_labels.nii.gz; .gz compresses)")
    preview = _output("--preview %s", "also draw the result: True for <stem>_preview.png, or "
                                      "a path")
    report = _output("--report %s", "also write the run's JSON record: True for "
                                    "<stem>_report.json, or a path")

    def get_hashval(self, hash_method=None):
        """Nipype's hash of the inputs, which decides whether a node's cached
        result still holds, also covers the files a tensor prefix names."""
        with_hash, value = super().get_hashval(hash_method)
        if isdefined(self.tensor_prefix):
            files = _prefix_files(self.tensor_prefix)
            with_hash.append(("tensor_prefix files",
                              self._get_sorteddict(files, True, hash_method=hash_method)))
            hashed = str(self._get_sorteddict(files, hash_method=hash_method))
            value = hashlib.md5((value + hashed).encode()).hexdigest()
        return with_hash, value


def _weight_trait(row):
    return traits.Float(argstr=f"{row['option']} %s",
                        desc=f"{' '.join(row['help'].split())} ({row['energy']} energy, "
                             f"{row['option']}; default {row['default']:g})")


# One input per row of the command's weights table. The class is named as
# this module's, where pickle (Nipype's node files) finds it.
SegmentInputs = type("SegmentInputs", (_SegmentInputsBase,), {
    "__module__": __name__,
    "__doc__": "The inputs of Segment: one input form, the mask and seeds, the energy and its "
               "weights (from dticut --list-weights), the outputs.",
    **{keyword: _weight_trait(row) for keyword, row in WEIGHTS.items()}})


class SegmentOutputs(TraitedSpec):
    labels = File(exists=True, desc="the labels, as dticut -o writes them")
    preview = File(exists=True, desc="the --preview picture, when asked for")
    report = File(exists=True, desc="the --report record of the run, when asked for")


class Segment(CommandLine):
    """Segments a diffusion-tensor fit into two labels with the dticut
    command. Give one input form (files=, tensor_prefix=, or evals=, evecs=
    and scalar=), optionally mask=, seeds=, energy= and the weights by their
    keywords (e.g. data_lambda=100; see WEIGHTS), ignore_geometry=, and
    preview=True / report=True for the picture and the record. Outputs:
    labels, preview, report. A failed run raises the command's message."""

    _cmd = _COMMAND
    _version = _VERSION
    input_spec = SegmentInputs
    output_spec = SegmentOutputs

    def _stem(self):
        if isdefined(self.inputs.tensor_prefix):
            return os.path.basename(self.inputs.tensor_prefix)
        first = self.inputs.evals if isdefined(self.inputs.evals) else self.inputs.files[0]
        name = os.path.basename(first)
        for extension in (".nii.gz", ".nii"):
            if name.endswith(extension):
                return name[:-len(extension)]
        return name

    def _output_path(self, name):
        """The output's path, or None when it is not asked for."""
        value = getattr(self.inputs, name)
        if name == "out_file" and not isdefined(value):
            value = True
        if not isdefined(value) or value is False:
            return None
        if value is True:
            value = self._stem() + _OUTPUT_SUFFIXES[name]
        return os.path.abspath(value)

    def _run_interface(self, runtime, correct_return_codes=(0,)):
        # Nipype would go on to collect outputs that were never written and
        # report them missing; a failed run raises with the command's own
        # message (its standard error) instead.
        runtime = super()._run_interface(runtime, correct_return_codes)
        if runtime.returncode not in correct_return_codes:
            self.raise_exception(runtime)
        return runtime

    def _gen_filename(self, name):
        return self._output_path(name) if name == "out_file" else None

    def _format_arg(self, name, trait, value):
        if name in _OUTPUT_SUFFIXES:
            value = self._output_path(name)
            if value is None:
                return None
        if name == "args":
            return super()._format_arg(name, trait, value)
        if isinstance(value, float):
            return trait.argstr % repr(value)
        if isinstance(value, str):
            return trait.argstr % shlex.quote(value)
        if isinstance(value, list):
            return trait.argstr % " ".join(shlex.quote(item) for item in value)
        return super()._format_arg(name, trait, value)

    def _list_outputs(self):
        outputs = self.output_spec().trait_get()
        outputs["labels"] = self._output_path("out_file")
        for name in ("preview", "report"):
            path = self._output_path(name)
            if path is not None:
                outputs[name] = path
        return outputs
