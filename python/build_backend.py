"""The build backend of `pip install .` (PEP 517), written with the standard
library alone so that pip's isolated build needs nothing from a package
index. It configures the project with CMake for the interpreter that runs it
(sys.executable), builds the module _dticut only, and packs it with the
package's Python files into a wheel for that interpreter."""

import base64
import hashlib
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "dticut"


def _version():
    """The project's version, stated once, in CMakeLists.txt."""
    return re.search(r"project\(dticut VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())[1]


def _dist_info():
    return f"dticut-{_version()}.dist-info"


def _metadata_files():
    version = sys.version_info
    interpreter = f"cp{version.major}{version.minor}"
    abi = interpreter + ("d" if hasattr(sys, "gettotalrefcount") else "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return {
        "METADATA": "Metadata-Version: 2.1\nName: dticut\nVersion: %s\n"
                    "Summary: Graph-cut segmentation of diffusion-tensor volumes and a multi-label "
                    "graph-cut optimizer, on numpy arrays\nRequires-Python: >=3.7\n"
                    "Requires-Dist: numpy\n" % _version(),
        "WHEEL": "Wheel-Version: 1.0\nGenerator: dticut build_backend\nRoot-Is-Purelib: false\n"
                 f"Tag: {interpreter}-{abi}-{platform}\n",
    }


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = pathlib.Path(metadata_directory, _dist_info())
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in _metadata_files().items():
        (folder / name).write_text(text)
    return folder.name


def _build_module(build):
    """Builds _dticut in `build` and returns its path. pip's isolation hides
    the system's packages from Python subprocesses; CMake's check for numpy
    runs the interpreter without it."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONNOUSERSITE")}
    configure = ["cmake", "-S", str(ROOT), "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DDTICUT_BUILD_PYTHON=ON", "-DDTICUT_BUILD_TESTS=OFF", "-DDTICUT_BUILD_BENCH=OFF",
                 "-DDTICUT_BUILD_TOOLS=OFF", "-DDTICUT_INSTALL=OFF"]
    subprocess.run(configure, check=True, env=env)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    subprocess.run(["cmake", "--build", build, "--target", "_dticut", "--parallel", jobs],
                   check=True, env=env)
    built = pathlib.Path(build, "python", "dticut",
                         "_dticut" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not built.exists():
        raise RuntimeError("CMake did not build the module _dticut: its configure output above "
                           "says what is missing (pybind11-dev, python3-dev or numpy)")
    return built


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory(prefix="dticut-build-") as build:
        module = _build_module(build)
        files = {f"dticut/{source.name}": source.read_bytes() for source in PACKAGE.glob("*.py")}
        files[f"dticut/{module.name}"] = module.read_bytes()
    metadata = _metadata_files()
    for name, text in metadata.items():
        files[f"{_dist_info()}/{name}"] = text.encode()
    tag = metadata["WHEEL"].split("Tag: ")[1].strip()
    wheel_name = f"dticut-{_version()}-{tag}.whl"
    record = "".join(_record_line(path, data) for path, data in files.items())
    files[f"{_dist_info()}/RECORD"] = (record + f"{_dist_info()}/RECORD,,\n").encode()
    wheel_path = pathlib.Path(wheel_directory, wheel_name)
    with zipfile.ZipFile(wheel_path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            entry = zipfile.ZipInfo(path, date_time=(2024, 1, 1, 0, 0, 0))
            entry.external_attr = 0o644 << 16
            wheel.writestr(entry, data, zipfile.ZIP_DEFLATED)
    return wheel_name
