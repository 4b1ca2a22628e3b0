#!/usr/bin/env bash
# The install as the README gives it, for real: a fresh virtual environment
# of PYTHON, `pip install .` in SOURCE without a package index (so nothing
# can be downloaded), then the installed package imported and used from
# outside the source tree. MODE system: the environment sees the system's
# packages (--system-site-packages), numpy among them. MODE isolated: it
# does not, and pip finds numpy in a folder of wheels (--find-links) that
# holds the system's numpy packed as one (numpy_wheel.py).
# Usage: pip_install.sh PYTHON SOURCE WORK system|isolated
set -euo pipefail
python=$1 source=$2 work=$3 mode=$4
rm -rf "$work"
mkdir -p "$work"
# pip sees no configuration of the machine's: only what is given here.
unset PIP_FIND_LINKS PIP_INDEX_URL PIP_EXTRA_INDEX_URL
export PIP_CONFIG_FILE=/dev/null PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
cd "$source"
if [ "$mode" = system ]; then
  "$python" -m venv --system-site-packages "$work/venv"
  "$work/venv/bin/pip" install .
else
  "$python" -m venv "$work/venv"
  mkdir "$work/wheels"
  "$python" "$source/python/tests/numpy_wheel.py" "$work/wheels"
  "$work/venv/bin/pip" install --no-index --find-links "$work/wheels" .
fi
cd "$work"
"$work/venv/bin/python" - "$work/venv" "$mode" <<'PY'
import sys

import numpy as np

import dticut

venv, mode = sys.argv[1:]
assert dticut.__file__.startswith(venv), dticut.__file__
# Without the system's packages, numpy is the venv's own.
assert np.__file__.startswith(venv) == (mode == "isolated"), np.__file__
energy = dticut.Energy()
energy.add_variables(2)
energy.add_term1([0, 1], [0, 4], [5, 0])
energy.add_term2(0, 1, 0, 3, 3, 0)
assert energy.minimize() == 3 and list(energy.labels) == [0, 1]
scalar = np.linspace(0, 1, 12).reshape(3, 2, 2)
labels = dticut.segment(np.ones((3, 2, 2, 3)), np.ones((3, 2, 2, 3, 3)), scalar,
                        data_lambda=100).labels
assert (labels == (scalar > 0.5)).all(), labels
print("dticut", dticut.__version__, "installed in", venv, "with numpy", np.__version__,
      "from", np.__file__)
PY
