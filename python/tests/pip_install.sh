#!/usr/bin/env bash
# The install as the README gives it, for real: a fresh virtual environment
# of PYTHON with the system's packages, `pip install .` in SOURCE, without a
# package index (so nothing can be downloaded), then the installed package
# imported and used from outside the source tree.
# Usage: pip_install.sh PYTHON SOURCE WORK
set -euo pipefail
python=$1 source=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
"$python" -m venv --system-site-packages "$work/venv"
cd "$source"
PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$work/venv/bin/pip" install .
cd "$work"
"$work/venv/bin/python" - "$work/venv" <<'PY'
import sys

import numpy as np

import dticut

assert dticut.__file__.startswith(sys.argv[1]), dticut.__file__
energy = dticut.Energy()
energy.add_variables(2)
energy.add_term1([0, 1], [0, 4], [5, 0])
energy.add_term2(0, 1, 0, 3, 3, 0)
assert energy.minimize() == 3 and list(energy.labels) == [0, 1]
print("dticut", dticut.__version__, "installed in", sys.argv[1])
PY
