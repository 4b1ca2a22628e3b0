"""The package's metadata and stubs: the stubs name exactly what the module
has, and the build backend's metadata and sdist come from pyproject.toml's
[project] table with the project's one version."""

import ast
import pathlib
import re
import sys
import tarfile

import dticut

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "python" / "dticut" / "__init__.pyi"


def stub_names():
    """{name: set of member names} for classes, None for functions."""
    names = {}
    for node in ast.parse(STUBS.read_text()).body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {item.name for item in node.body if isinstance(item, ast.FunctionDef)
                                and item.name != "__init__"}
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = None
    return names


def test_stubs_name_what_the_package_has():
    stubbed = stub_names()
    public = set(dticut.__all__)
    assert public == {name for name in stubbed if not name.startswith("_")}
    for name, members in stubbed.items():
        runtime = getattr(dticut, name)
        if members is not None:
            assert members <= set(dir(runtime)), (name, members - set(dir(runtime)))
            inherited = set().union(*(stubbed.get(base.__name__) or set()
                                      for base in runtime.__mro__[1:]))
            own = {m for m in vars(runtime) if not m.startswith("_")}
            assert own <= members | inherited, (name, own - members - inherited)


def test_metadata_and_sdist_from_the_project_table(tmp_path):
    sys.path.insert(0, str(ROOT / "python"))
    try:
        import build_backend
    finally:
        sys.path.pop(0)
    version = re.search(r"project\(dticut VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())[1]
    assert dticut.__version__ == version
    metadata = build_backend._metadata()
    head = metadata.split("\n\n")[0].splitlines()
    assert head[:3] == ["Metadata-Version: 2.1", "Name: dticut", f"Version: {version}"]
    assert "Requires-Dist: numpy" in head and "Requires-Python: >=3.7" in head
    name = build_backend.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / name) as sdist:
        members = set(sdist.getnames())
        assert {f"dticut-{version}/{path}" for path in
                ("PKG-INFO", "pyproject.toml", "CMakeLists.txt", "python/build_backend.py",
                 "flow/graph.h", "python/dticut/__init__.pyi")} <= members
        assert not any("/build/" in member or "__pycache__" in member for member in members)
        assert sdist.extractfile(f"dticut-{version}/PKG-INFO").read().decode() == metadata
