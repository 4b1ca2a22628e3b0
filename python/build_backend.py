"""The build backend of `pip install .` (PEP 517), written with the standard
library alone so that pip's isolated build needs nothing from a package
index. It configures the project with CMake for the interpreter that runs it
(sys.executable), builds the module _dticut only, and packs it with the
package's Python files into a wheel for that interpreter; its metadata comes
from pyproject.toml's [project] table. build_sdist packs the source tree."""

import base64
import hashlib
import io
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


def _project():
    """pyproject.toml's [project] table: with tomllib where the interpreter
    has it (3.11), else read by the few TOML forms the table uses (a string,
    an array of strings, an inline table of strings per key)."""
    text = (ROOT / "pyproject.toml").read_text()
    try:
        import tomllib
        return tomllib.loads(text)["project"]
    except ImportError:
        pass
    table, section = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line.strip("[]")
            continue
        if not line or line.startswith("#") or "=" not in line:
            continue
        key, value = (part.strip() for part in line.split("=", 1))
        if value.startswith("{"):
            value = dict(re.findall(r'(\w+)\s*=\s*"([^"]*)"', value))
        elif value.startswith("["):
            value = re.findall(r'"([^"]*)"', value)
        else:
            value = value.strip('"')
        if section == "project":
            table[key] = value
        elif section and section.startswith("project."):
            table.setdefault(section.split(".", 1)[1], {})[key] = value
    return table


def _metadata():
    """Core metadata (PKG-INFO, METADATA) from the [project] table."""
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}", f"Version: {_version()}",
             f"Summary: {project['description']}",
             f"License: {project['license']['text']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Requires-Dist: {requirement}" for requirement in project["dependencies"]]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {r}; extra == "{extra}"' for r in requirements]
    for label, url in project.get("urls", {}).items():
        lines.append(f"Project-URL: {label}, {url}")
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + (ROOT / project["readme"]).read_text()


def _metadata_files():
    version = sys.version_info
    interpreter = f"cp{version.major}{version.minor}"
    abi = interpreter + ("d" if hasattr(sys, "gettotalrefcount") else "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return {
        "METADATA": _metadata(),
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
    """Builds _dticut in `build` and returns its path. numpy is the package's
    dependency, which pip installs after the build (in an environment without
    the system's packages, numpy is not there yet), and the module needs it
    only when it runs: the configure does not look for it."""
    configure = ["cmake", "-S", str(ROOT), "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DDTICUT_BUILD_PYTHON=ON", "-DDTICUT_PYTHON_CHECK_NUMPY=OFF",
                 "-DDTICUT_BUILD_TESTS=OFF", "-DDTICUT_BUILD_BENCH=OFF",
                 "-DDTICUT_BUILD_TOOLS=OFF", "-DDTICUT_INSTALL=OFF"]
    subprocess.run(configure, check=True)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    subprocess.run(["cmake", "--build", build, "--target", "_dticut", "--parallel", jobs],
                   check=True)
    built = pathlib.Path(build, "python", "dticut",
                         "_dticut" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not built.exists():
        raise RuntimeError("CMake did not build the module _dticut: its configure output above "
                           "says what is missing (pybind11-dev or python3-dev)")
    return built


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}\n"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    with tempfile.TemporaryDirectory(prefix="dticut-build-") as build:
        module = _build_module(build)
        files = {f"dticut/{source.name}": source.read_bytes() for source in PACKAGE.iterdir()
                 if source.suffix in (".py", ".pyi", ".typed")}
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


# What an sdist leaves out: builds, caches and version control.
_NOT_IN_SDIST = re.compile(r"^(build[^/]*|\.git|.*__pycache__|.*\.pyc)(/|$)")


def build_sdist(sdist_directory, config_settings=None):
    """The source tree as dticut-VERSION.tar.gz, with PKG-INFO: everything but
    builds, caches and version control, so that `pip install` of it builds
    exactly as `pip install .` does."""
    import tarfile

    base = f"dticut-{_version()}"
    name = f"{base}.tar.gz"

    def entry(path, size):
        info = tarfile.TarInfo(f"{base}/{path}")
        info.size, info.mtime, info.mode = size, 0, 0o644
        return info

    with tarfile.open(pathlib.Path(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for source in sorted(ROOT.rglob("*")):
            relative = source.relative_to(ROOT).as_posix()
            if source.is_dir() or _NOT_IN_SDIST.match(relative):
                continue
            data = source.read_bytes()
            info = entry(relative, len(data))
            info.mode = 0o755 if os.access(source, os.X_OK) else 0o644
            tar.addfile(info, io.BytesIO(data))
        metadata = _metadata().encode()
        tar.addfile(entry("PKG-INFO", len(metadata)), io.BytesIO(metadata))
    return name
