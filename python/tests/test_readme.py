"""The README's examples run as written: every shell (sh) and Python block
marked `<!-- example -->` on the line before its fence runs in a folder of
its own, and must succeed; a block marked `<!-- output -->` after it is
exactly its standard output (`<!-- output: tail -->`: its last lines). The marker's words prepare the folder:

  dwi        dwi.nii.gz, dwi.bval and dwi.bvec: dipy's small_64D as a scan
  phantom    a 24 x 24 x 16 phantom as dticut-phantom --gzip writes it in
             the prefix form (dti_L1.nii.gz ...) and the thirteen-file form
             (L1.nii.gz ... SCALAR.nii.gz)
  cohort     workflow/ (this tree's) and derivatives/dtifit/sub-01, sub-02:
             phantoms in the tensor-prefix form, named as dtifit names them
  mrtrix     nothing; the block needs MRtrix3 and is skipped without it
  name=N     names the block
  after=N    block N (and what it needs) runs first in the same folder

A block that is not run is marked `<!-- not run: REASON -->`; every sh and
Python block carries one of the two markers.

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
MARKER = re.compile(r"<!-- (example|output|not run)(?::\s*(.*?))?\s*-->$")
SETUPS = {"dwi", "phantom", "cohort", "mrtrix"}


def fences(lines):
    """(index of the line before, language, code) of every fenced block."""
    at = 0
    while at < len(lines):
        if lines[at].startswith("```"):
            end = lines.index("```", at + 1)
            yield at - 1, lines[at][3:].strip(), "\n".join(lines[at + 1:end]) + "\n"
            at = end
        at += 1


def blocks(text):
    """[(line, language, code, words, (output, whole))] of the marked examples, in
    order. Every sh and Python block is marked as an example or as not
    run; a marker that marks no block, or an example of another language,
    is an error."""
    lines = text.split("\n")
    found, marked = [], set()
    for before, language, code in fences(lines):
        marker = MARKER.match(lines[before].strip()) if before >= 0 else None
        where = f"README.md:{before + 2}"
        if marker is None:
            assert language not in ("sh", "python"), \
                f"{where}: a {language} block marked neither <!-- example --> nor <!-- not run -->"
            continue
        marked.add(before)
        if marker[1] == "not run":
            assert marker[2], f"{where}: <!-- not run --> without its reason"
        elif marker[1] == "output":
            assert found and found[-1][4] is None, f"{where}: an output block without its example"
            assert marker[2] in (None, "tail"), f"{where}: unknown output words {marker[2]}"
            found[-1] = found[-1][:4] + ((code, marker[2] is None),)
        else:
            assert language in ("sh", "python"), f"{where}: an example of language {language!r}"
            words = (marker[2] or "").split()
            unknown = [w for w in words
                       if w not in SETUPS and not re.match(r"(name|after)=\S+$", w)]
            assert not unknown, f"{where}: unknown setup words {unknown}"
            found.append((before + 2, language, code, words, None))
    stray = [at + 1 for at, line in enumerate(lines) if MARKER.match(line.strip()) and at not in marked]
    assert not stray, f"README.md: markers before no fenced block, lines {stray}"
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
        text, whole = output
        shown = done.stdout if whole else "\n".join(done.stdout.split("\n")[-text.count("\n") - 1:])
        assert shown == text, f"README.md:{line}: its output differs from the README's"
    script.unlink()


@pytest.fixture(scope="module")
def tools(command, phantom_tool):
    return {"dticut": command, "dticut-phantom": phantom_tool}


@pytest.mark.parametrize("block", BLOCKS, ids=[f"README.md:{b[0]}" for b in BLOCKS])
def test_the_example_runs_as_written(block, tmp_path, tools):
    run(block, tmp_path, environment(), tools)
