"""Packs the numpy the running interpreter imports (Debian's python3-numpy)
into a wheel in FOLDER, so that a virtual environment without the system's
packages can install numpy with `pip --no-index --find-links FOLDER`, as it
would from a folder of downloaded wheels. The wheel holds the package's
files as installed, the metadata of its egg-info and a RECORD.
Usage: numpy_wheel.py FOLDER"""

import base64
import hashlib
import pathlib
import sys
import sysconfig
import zipfile

import numpy

source = pathlib.Path(numpy.__file__).parent
version = numpy.__version__
python = f"cp{sys.version_info.major}{sys.version_info.minor}"
platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
info = f"numpy-{version}.dist-info"
files = {f"numpy/{path.relative_to(source).as_posix()}": path.read_bytes()
         for path in sorted(source.rglob("*")) if path.is_file() and "__pycache__" not in path.parts}
files[f"{info}/METADATA"] = (source.parent / f"numpy-{version}.egg-info" / "PKG-INFO").read_bytes()
files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: numpy_wheel.py\nRoot-Is-Purelib: false\n"
                          f"Tag: {python}-{python}-{platform}\n").encode()
record = ""
for path, data in files.items():
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    record += f"{path},sha256={digest},{len(data)}\n"
files[f"{info}/RECORD"] = (record + f"{info}/RECORD,,\n").encode()
wheel = pathlib.Path(sys.argv[1], f"numpy-{version}-{python}-{python}-{platform}.whl")
with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
    for path, data in files.items():
        archive.writestr(path, data)
print(wheel)
