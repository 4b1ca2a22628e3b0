"""dticut.nipype.Segment against the dticut command run by hand: every input
form, weight and option gives the command's own output files; its weight
inputs follow the command's table; paths reach the command as they are;
a Nipype workflow runs it, and reruns it when a tensor prefix's files
change."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import clean_env, command_path

nib = pytest.importorskip("nibabel")
pytest.importorskip("nipype")

# Segment runs the dticut on PATH: the built one. The programs it starts
# need no preloaded sanitizer runtime (the interpreter already has it);
# child interpreters, which load the module, get it back.
PRELOAD = os.environ.pop("LD_PRELOAD", None)
if not os.access(command_path(), os.X_OK):
    pytest.skip("the dticut command is not built", allow_module_level=True)
os.environ["PATH"] = os.path.dirname(os.path.abspath(command_path())) + os.pathsep + \
    os.environ.get("PATH", "")
from dticut.nipype import WEIGHTS, Segment  # noqa: E402


def phantom(tool, folder, *options):
    """A 16 x 16 x 10 phantom in folder: Segment's inputs for the files it
    printed, and the printed arguments."""
    folder.mkdir()
    printed = subprocess.run([tool, "--size", "16x16x10", *options, str(folder)], check=True,
                             capture_output=True, text=True, env=clean_env()).stdout.split()
    inputs, rest = {}, list(printed)
    for option, name in (("--evals", "evals"), ("--evecs", "evecs"), ("--scalar", "scalar"),
                         ("--mask", "mask"), ("--tensor-prefix", "tensor_prefix")):
        if option in rest:
            at = rest.index(option)
            inputs[name] = rest[at + 1]
            del rest[at:at + 2]
    if rest:
        inputs["files"] = rest
    return inputs, printed


def by_hand(command, folder, arguments):
    """The command's labels, picture and report, run directly."""
    folder.mkdir()
    outputs = [folder / "labels.nii.gz", folder / "preview.png", folder / "report.json"]
    subprocess.run([command, *arguments, "-o", str(outputs[0]), "--preview", str(outputs[1]),
                    "--report", str(outputs[2])], check=True, capture_output=True,
                   env=clean_env())
    return outputs


def comparable(report_path):
    """A report without what names the run rather than its result."""
    report = json.loads(report_path.read_text())
    for key in ("CommandLine", "Outputs", "StageSeconds"):
        del report[key]
    return report


def weight_arguments(weights):
    return [text for keyword, value in weights.items()
            for text in (WEIGHTS[keyword]["option"], repr(value))]


# layout and phantom options, the interface's other inputs, and the stem of
# the output names.
CASES = [
    ("dipy", ("--mask",), {"data_lambda": 100.0}, "dti_evals"),
    ("prefix", ("--gzip",), {"data_lambda": 37.5, "smooth_fa_lambda": 0.25,
                             "smooth_principal_lambda": 3.0, "smooth_omnibus_lambda": 0.5}, "dti"),
    ("files", ("--mask", "--big-endian"), {"data_lambda": 100.0}, "L1"),
    ("dipy", ("--scene", "touching90", "--mask"),
     {"energy": "tensor", "seeds": "dti_seeds.nii", "region_lambda": 2.0, "boundary_lambda": 0.5},
     "dti_evals"),
]


@pytest.mark.parametrize("layout,options,given,stem", CASES,
                         ids=[f"{c[0]} {' '.join(c[1])}" for c in CASES])
def test_segment_writes_the_commands_files(command, phantom_tool, tmp_path, monkeypatch, layout,
                                           options, given, stem):
    data = tmp_path / "data"
    inputs, arguments = phantom(phantom_tool, data, "--layout", layout, *options)
    given = dict(given)
    extra = []
    if "seeds" in given:
        given["seeds"] = str(data / given["seeds"])
        extra += ["--energy", given["energy"], "--seeds", given["seeds"]]
    weights = {k: v for k, v in given.items() if k in WEIGHTS}
    expected = by_hand(command, tmp_path / "by_hand",
                       arguments + extra + weight_arguments(weights))

    node = tmp_path / "node"
    node.mkdir()
    monkeypatch.chdir(node)
    result = Segment(**inputs, **given, preview=True, report=True).run()
    outputs = result.outputs
    assert [outputs.labels, outputs.preview, outputs.report] == \
        [str(node / (stem + suffix)) for suffix in ("_labels.nii.gz", "_preview.png",
                                                   "_report.json")]
    for made, wanted in zip((outputs.labels, outputs.preview), expected):
        assert open(made, "rb").read() == wanted.read_bytes(), made
    assert comparable(node / outputs.report) == comparable(expected[2])


def test_weights_and_paths_reach_the_command_as_given(tmp_path):
    """A stand-in dticut lists one weight more than the real one and records
    the arguments it is run with: the interface offers that weight, and
    every path, however named, arrives as one argument, unchanged."""
    real = json.loads(subprocess.run([command_path(), "--list-weights"], check=True,
                                     capture_output=True, text=True, env=clean_env()).stdout)
    real["new_lambda"] = {"energy": "scalar", "option": "--new-lambda", "report_key": "NewLambda",
                          "default": 1, "help": "a weight\nadded to the table"}
    bin_folder = tmp_path / "bin"
    bin_folder.mkdir()
    stand_in = bin_folder / "dticut"
    stand_in.write_text(textwrap.dedent(f"""\
        #!{sys.executable}
        import json, sys
        if sys.argv[1:] == ["--version"]:
            print("dticut 9.8.7")
        elif sys.argv[1:] == ["--list-weights"]:
            print({json.dumps(json.dumps(real))})
        else:
            open({str(tmp_path / "argv.json")!r}, "w").write(json.dumps(sys.argv[1:]))
            open(sys.argv[sys.argv.index("-o") + 1], "w").close()
        """))
    stand_in.chmod(0o755)
    names = ["a b.nii", "$(touch pwned).nii", "-x.nii", "it's.nii", 'q"uote.nii', "semi;colon.nii",
             "tab\there.nii", "back\\slash.nii", "star*.nii", "new\nline.nii", "ampers&nd.nii",
             "l1.nii.gz", "ünï.nii"]
    data = tmp_path / "data"
    data.mkdir()
    for name in names:
        (data / name).write_bytes(b"")
    work = tmp_path / "work"
    work.mkdir()
    child = subprocess.run([sys.executable, "-c", textwrap.dedent("""\
        import json, sys
        from dticut.nipype import Segment
        segment = Segment(files=json.loads(sys.argv[1]), data_lambda=1e-3, new_lambda=2.5)
        print(json.dumps([segment.version, segment.inputs.trait("new_lambda").desc,
                          segment.run().outputs.labels]))
        """), json.dumps([str(data / name) for name in names])],
        cwd=work, capture_output=True, text=True,
        env=dict(os.environ, PATH=f"{bin_folder}{os.pathsep}{os.environ['PATH']}",
                 **({"LD_PRELOAD": PRELOAD} if PRELOAD else {})))
    assert child.returncode == 0, child.stderr
    version, desc, labels = json.loads(child.stdout.splitlines()[-1])
    assert version == "9.8.7"
    assert desc == "a weight added to the table (scalar energy, --new-lambda; default 1)"
    assert labels == str(work / "a b_labels.nii.gz")
    assert json.loads((tmp_path / "argv.json").read_text()) == \
        ["--data-lambda", "0.001", "--new-lambda", "2.5", "-o", labels, "--",
         *(str(data / name) for name in names)]
    assert not (work / "pwned").exists()


@pytest.mark.parametrize("script,message", [
    (None, "which is not on PATH: install it"),
    ("echo 'dticut 0.0.1'; [ \"$1\" = --version ] || exit 2",
     "--list-weights failed (status 2)"),
    ("echo 'not json'", "--list-weights printed no JSON table"),
])
def test_import_needs_a_dticut_that_lists_its_weights(tmp_path, script, message):
    if script is not None:
        (tmp_path / "dticut").write_text("#!/bin/sh\n" + script + "\n")
        (tmp_path / "dticut").chmod(0o755)
    child = subprocess.run([sys.executable, "-c", "import dticut.nipype"], capture_output=True,
                           text=True, env=dict(os.environ, PATH=f"{tmp_path}:/bin",
                                               **({"LD_PRELOAD": PRELOAD} if PRELOAD else {})))
    assert child.returncode == 1 and "ImportError: dticut.nipype" in child.stderr
    assert message in child.stderr


def test_refusals(phantom_tool, tmp_path, monkeypatch):
    inputs, _ = phantom(phantom_tool, tmp_path / "data", "--layout", "dipy")
    small, _ = phantom(phantom_tool, tmp_path / "small", "--layout", "dipy", "--size", "12x12x8")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception, match="must be a list of from 13 to 13 items"):
        Segment(files=[inputs["evals"]] * 12)
    with pytest.raises(Exception, match="representing an existing file"):
        Segment(evals="missing.nii")
    with pytest.raises(Exception, match="must be 'scalar' or 'tensor'"):
        Segment(energy="both")
    with pytest.raises(OSError, match="mutually exclusive"):
        Segment(evals=inputs["evals"], tensor_prefix="dti")
    with pytest.raises(ValueError, match="requires values for inputs 'evecs', 'scalar'"):
        Segment(evals=inputs["evals"]).cmdline
    # The command's refusals, with its message, and no output left.
    failing = [({**inputs, "scalar": small["scalar"]}, "dimensions 12 x 12 x 8 differ from the "
                                                       "16 x 16 x 10 of"),
               ({**inputs, "data_lambda": 1e39}, "needs a finite single-precision number")]
    for given, message in failing:
        with pytest.raises(RuntimeError, match=message):
            Segment(**given).run()
        assert not (tmp_path / "dti_evals_labels.nii.gz").exists()


def test_a_workflow_runs_it_and_reruns_it_when_the_files_change(command, phantom_tool, tmp_path):
    from nipype import Node, Workflow

    inputs, arguments = phantom(phantom_tool, tmp_path / "data", "--layout", "prefix")

    def run():
        workflow = Workflow(name="dticut", base_dir=str(tmp_path / "work"))
        workflow.add_nodes([Node(Segment(**inputs, data_lambda=100, report=True),
                                 name="segment")])
        (node,) = workflow.run().nodes()  # the default plugin, Linear
        return node.result.outputs

    outputs = run()
    expected = by_hand(command, tmp_path / "by_hand", arguments + ["--data-lambda", "100"])
    first = open(outputs.labels, "rb").read()
    assert first == expected[0].read_bytes()
    assert comparable(tmp_path / outputs.report)["Labels"] == comparable(expected[2])["Labels"]
    made = os.stat(outputs.labels).st_mtime_ns
    assert run().labels == outputs.labels and os.stat(outputs.labels).st_mtime_ns == made

    # A new anisotropy map under the same prefix: the node runs again.
    fa_path = inputs["tensor_prefix"] + "_FA.nii"
    fa = nib.load(fa_path)
    nib.save(nib.Nifti1Image(fa.get_fdata(dtype="float32")[::-1].copy(), fa.affine, fa.header),
             fa_path)
    again = run()
    expected = by_hand(command, tmp_path / "by_hand_again", arguments + ["--data-lambda", "100"])
    assert expected[0].read_bytes() != first
    assert open(again.labels, "rb").read() == expected[0].read_bytes()
