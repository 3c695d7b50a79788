import importlib.metadata
import pathlib
import re
import subprocess
import sys
import tomllib

import pytest

import ortholink

CLASS_NAMES = ["Crx", "CrxModel", "IkSolution", "LinkMesh", "LinkMeshes", "SolutionKind"]


def test_docstring_and_all():
    assert ortholink.__doc__ == "Forward and inverse kinematics for the FANUC CRX series of collaborative robots."
    expected = [name for name in CLASS_NAMES if hasattr(ortholink, name)] + ["Arm"]
    assert ortholink.__all__ == expected
    assert ortholink.__all__[:3] == ["Crx", "CrxModel", "IkSolution"]


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_cannot_be_instantiated(name):
    cls = getattr(ortholink, name, None)
    if cls is None:
        pytest.skip(f"{name} is not registered in this build")
    with pytest.raises(TypeError, match=rf"^cannot create 'ortholink\.{name}' instances$"):
        cls()
    assert cls.__module__ == "ortholink"


def test_instances_have_no_dict(robot):
    with pytest.raises(AttributeError):
        robot.colour = "yellow"
    with pytest.raises(AttributeError):
        robot.z1 = 1.0


def test_wrong_self_is_a_type_error(robot):
    with pytest.raises(TypeError):
        ortholink.Crx.fk(ortholink.CrxModel.Crx5iA, [0] * 6)
    with pytest.raises(TypeError):
        ortholink.Crx.z1.__get__(3)


def test_only_init_function_is_exported():
    path = ortholink.__file__
    assert path.endswith(".abi3.so")
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_ortholink"]


def test_import_in_fresh_interpreter_and_panic_class_hidden():
    code = "import ortholink; print(hasattr(ortholink, 'PanicException'))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_version_matches_the_package_metadata():
    root = pathlib.Path(__file__).resolve().parents[2]
    declared = tomllib.loads((root / "pyproject.toml").read_text())["project"]["version"]
    cmake = re.search(r"project\(ortholink VERSION (\S+)", (root / "CMakeLists.txt").read_text())
    assert cmake is not None and cmake.group(1) == declared
    assert ortholink.__version__ == declared
    assert "__version__" not in ortholink.__all__
    try:
        installed = importlib.metadata.version("ortholink")
    except importlib.metadata.PackageNotFoundError:
        return  # a build tree on the path, not an installed wheel
    assert ortholink.__version__ == installed


def test_a_subinterpreter_is_refused_with_an_import_error():
    # In a child process: the main interpreter imports the module, then a
    # subinterpreter tries; the subinterpreter API is private and version-specific.
    code = """
import ortholink
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    raise SystemExit(77)
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import ortholink")
except Exception as error:
    print(type(error).__name__, error)
else:
    print("loaded")
interpreters.destroy(interp)
import ortholink
print(ortholink.Crx.crx10ia().fk([0] * 6).shape)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if out.returncode == 77:
        pytest.skip("no subinterpreter API in this Python")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert "ImportError" in lines[0] and "does not support loading in subinterpreters" in lines[0]
    assert lines[1] == "(4, 4)"
