"""The README's examples run as written: every shell (sh) and Python block
marked `<!-- example -->` on the line before its fence runs in a folder of
its own, and must succeed; a block marked `<!-- output -->` after it is
exactly its standard output. The marker's words prepare the folder:

  dwi        dwi.nii.gz, dwi.bval and dwi.bvec: dipy's small_64D as a scan
  phantom    a 24 x 24 x 16 phantom as dticut-phantom --gzip writes it in
             the prefix form (dti_L1.nii.gz ...) and the thirteen-file form
             (L1.nii.gz ... SCALAR.nii.gz)
  cohort     workflow/ (this tree's) and derivatives/dtifit/sub-01, sub-02:
             phantoms in the tensor-prefix form, named as dtifit names them
  mrtrix     nothing; the block needs MRtrix3 and is skipped without it
  name=N     names the block's folder, after it ran
  after=N    starts from a copy of the folder block N left (N runs first)

The built dticut, dticut-phantom and Python package come first on PATH and
PYTHONPATH; shell blocks run with bash -euo pipefail."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT, clean_env, command_path, small_dwi

README = ROOT / "README.md"
MARKER = re.compile(r"<!-- (example|output)(?::\s*(.*?))?\s*-->$")
FENCE = re.compile(r"```(\w*)$")
SETUPS = {"dwi", "phantom", "cohort", "mrtrix"}


def blocks(text):
    """[(line, language, code, words, output)] of the marked examples, in
    order; a marker that marks no sh or Python block is an error."""
    lines = text.split("\n")
    found = []

    def fenced(at):
        opening = FENCE.match(lines[at + 1]) if at + 1 < len(lines) else None
        if opening is None:
            raise AssertionError(f"README.md:{at + 1}: a marker not followed by a fenced block")
        end = lines.index("```", at + 2)
        return opening[1], "\n".join(lines[at + 2:end]) + "\n"

    for at, line in enumerate(lines):
        marker = MARKER.match(line.strip())
        if marker is None:
            continue
        language, code = fenced(at)
        if marker[1] == "output":
            if not found or found[-1][4] is not None:
                raise AssertionError(f"README.md:{at + 1}: an output block without its example")
            found[-1] = found[-1][:4] + (code,)
            continue
        if language not in ("sh", "python"):
            raise AssertionError(f"README.md:{at + 1}: an example of language {language!r}")
        words = (marker[2] or "").split()
        unknown = [w for w in words if w not in SETUPS and not re.match(r"(name|after)=\S+$", w)]
        if unknown:
            raise AssertionError(f"README.md:{at + 1}: unknown setup words {unknown}")
        found.append((at + 2, language, code, words, None))
    return found


BLOCKS = blocks(README.read_text())
NAMED = {word[5:]: block for block in BLOCKS for word in block[3] if word.startswith("name=")}


def environment():
    build = pathlib.Path(command_path()).resolve().parents[1]
    env = clean_env()
    env["PATH"] = os.pathsep.join([str(build / "app"), str(build / "tools" / "phantom"),
                                   env.get("PATH", "")])
    env["PYTHONPATH"] = str(build / "python")
    return env


def prepare(folder, words, tools):
    if "mrtrix" in words and not shutil.which("dwi2tensor"):
        pytest.skip("MRtrix3 is not installed (Debian: mrtrix3)")
    if "dwi" in words:
        small_dwi(folder)
    if "phantom" in words:
        for layout in ("prefix", "files"):
            subprocess.run([tools["dticut-phantom"], "--size", "24x24x16", "--gzip", "--layout",
                            layout, str(folder)], check=True, capture_output=True,
                           env=clean_env())
    if "cohort" in words:
        (folder / "workflow").symlink_to(ROOT / "workflow")
        for subject in ("sub-01", "sub-02"):
            fit = folder / "derivatives" / "dtifit" / subject / "dwi"
            fit.mkdir(parents=True)
            subprocess.run([tools["dticut-phantom"], "--size", "24x24x16", "--gzip", "--layout",
                            "prefix", "--seed", subject[-1], str(fit)], check=True,
                           capture_output=True, env=clean_env())
            for made in fit.iterdir():
                made.rename(fit / made.name.replace("dti_", f"{subject}_", 1))


def run(block, folder, env, tools):
    line, language, code, words, output = block
    for word in words:
        if word.startswith("after="):
            assert word[6:] in NAMED, f"README.md:{line}: no block named {word[6:]}"
            run(NAMED[word[6:]], folder, env, tools)
    prepare(folder, words, tools)
    script = folder / f"example-{line}.{'sh' if language == 'sh' else 'py'}"
    script.write_text(code)
    if language == "sh":
        arguments = ["bash", "-euo", "pipefail", str(script)]
    else:
        # The interpreter keeps a preloaded sanitizer runtime (the module
        # needs it); the programs the block starts do not get it.
        arguments = [sys.executable, "-c", "import os, runpy, sys; os.environ.pop('LD_PRELOAD', "
                     "None); sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], "
                     "run_name='__main__')", str(script)]
        env = dict(env, **({"LD_PRELOAD": os.environ["LD_PRELOAD"]}
                           if "LD_PRELOAD" in os.environ else {}))
    done = subprocess.run(arguments, cwd=folder, env=env, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, \
        f"README.md:{line}: status {done.returncode}\n{done.stdout}\n{done.stderr}"
    if output is not None:
        assert done.stdout == output, f"README.md:{line}: its output differs from the README's"
    script.unlink()


@pytest.fixture(scope="module")
def tools(command, phantom_tool):
    return {"dticut": command, "dticut-phantom": phantom_tool}


@pytest.mark.parametrize("block", BLOCKS, ids=[f"README.md:{b[0]}" for b in BLOCKS])
def test_the_example_runs_as_written(block, tmp_path, tools):
    run(block, tmp_path, environment(), tools)
