"""The package's stubs (pelkaro/__init__.pyi, pelkaro/_pelkaro.pyi, written by
hand) against the module built beside them: what a type checker is told is
what the module has.

Two checks:

- mypy's stubtest on the package.  It needs a Python that has mypy and can
  import the built extension, which imports only into the Python version it
  was built for.  ctest runs this file with the module's own interpreter
  (PK_INTERPRETER, /usr/bin/python3 unless -DPython3_EXECUTABLE names
  another), and Debian's package mypy installs mypy for that python3
  (python3-mypy), so that interpreter is tried first; then python3 on the
  PATH and /usr/bin/python3, in case the module was built for one of them
  and mypy installed only there.  The first that imports both runs stubtest.
  With none, the test is skipped with the reason, and the comparison below
  stands alone (under CI=true too: it is the fallback, not a skip).

- A comparison of our own, always run, with nothing but the standard
  library: every public name of each stub and of the module, each class's
  members (properties as properties), and the parameters of every function
  and method (names, order, kind, which have defaults); the stubs read with
  ast, the module with inspect, and pybind11's functions through the
  signature line pybind11 puts at the head of their docstrings.  stubtest
  cannot see those parameters (pybind11 gives its functions no text
  signature) and checks only that the functions exist, so this comparison
  is not only a stand-in for it.
"""

import ast
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import pelkaro
from pelkaro import _pelkaro

PACKAGE = Path(pelkaro.__file__).parent
# Only in a module built with HDF5 (the join of NXcanSAS curves).
HDF5_ONLY = {"MergeInput", "MergedCurve", "merge"}
CLASSES = ["Curve", "Diagnostic", "Image", "MergeInput", "MergedCurve", "Run", "RunTransmission", "Transmission",
           "Orientation", "Azimuthal", "SectorCurve", "SectorPairs"]


# ---- stubtest ---------------------------------------------------------------

def allowlist():
    """What stubtest reports that the stubs leave as they are, one regular
    expression per error it covers (stubtest's allowlist format)."""
    classes = [c for c in CLASSES if pelkaro.has_nxcansas or c not in HDF5_ONLY]
    lines = [
        # pybind11 gives a class bound without a constructor an
        # __init__(self, *args, **kwargs) that only raises TypeError: the
        # objects come from reduce, check, transmission and merge, and the
        # stubs do not tell a type checker that it may make them.
        *(rf"pelkaro(\._pelkaro)?\.{c}\.__init__" for c in classes),
        # The package's private modules _beams and _mapping have no stubs:
        # stubtest reads their source for one and so also compares the
        # collections.abc classes they import with mypy's own copy of
        # typeshed, which some versions of mypy find different from the
        # running Python.  Optional (matches the empty name), as other
        # versions find nothing there.
        r"(pelkaro\._(beams|mapping)\.(Mapping|Sequence)\..*)?",
    ]
    if not pelkaro.has_nxcansas:
        # The stubs describe the module built with HDF5.
        lines += [r"pelkaro(\._pelkaro)?\.(MergeInput|MergedCurve)(\..*)?", r"pelkaro\._pelkaro\.merge"]
    return "".join(line + "\n" for line in lines)


def python_with_mypy():
    """The first Python that imports both mypy's stubtest and the built
    module (with this process's environment, PYTHONPATH among it), or None."""
    candidates = [sys.executable, shutil.which("python3"), "/usr/bin/python3"]
    tried = set()
    for python in candidates:
        if not python or not os.path.exists(python) or os.path.realpath(python) in tried:
            continue
        tried.add(os.path.realpath(python))
        probe = subprocess.run([python, "-c", "import mypy.stubtest, pelkaro._pelkaro"], capture_output=True)
        if probe.returncode == 0:
            return python
    return None


def test_stubtest_finds_no_difference(tmp_path):
    python = python_with_mypy()
    if python is None:
        pytest.skip("no Python here has both mypy (Debian: apt-get install mypy) and the built module; "
                    "test_stubs_name_what_the_module_has compares the names and parameters")
    (tmp_path / "allowlist.txt").write_text(allowlist())
    (tmp_path / "mypy.ini").write_text("[mypy]\n")  # none of the user's settings
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"), MYPYPATH=str(PACKAGE.parent))
    done = subprocess.run([python, "-m", "mypy.stubtest", "pelkaro", "--allowlist", str(tmp_path / "allowlist.txt"),
                           "--mypy-config-file", str(tmp_path / "mypy.ini")],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, f"stubtest ({python}):\n{done.stdout}{done.stderr}"


# ---- The comparison of names and parameters -----------------------------------

def public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def stub_names(tree):
    """The names a stub module defines: name -> its ast node; an explicit
    re-export (from m import x as x) -> ("from", level, m, x)."""
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            names.update((a.name, ("from", node.level, node.module, a.name)) for a in node.names if a.asname == a.name)
    return names


def stub_parameters(node, method):
    """(name, kind, has default) of each parameter of a stub's def, less self."""
    a = node.args
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs] + \
                 [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    first_default = len(positional) - len(a.defaults)
    params = [(p.arg, kind, i >= first_default) for i, (p, kind) in enumerate(positional)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, False))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY, d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, False))
    return params[1:] if method else params


def split_top_level(text):
    """`text` cut at the commas outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    parts.append(text[start:].strip())
    return [p for p in parts if p]


def pybind11_parameters(func, method):
    """The parameters of a pybind11 function, from its docstring's first
    line: name(a: T, b: T = default, *, c: T = default) -> R."""
    head = (func.__doc__ or "").split("\n", 1)[0]
    name = func.__name__
    assert head.startswith(name + "(") and ") -> " in head, f"{name}: no signature line in {head!r}"
    params, kind = [], inspect.Parameter.POSITIONAL_OR_KEYWORD
    for part in split_top_level(head[len(name) + 1:head.rindex(") -> ")]):
        if part == "*":
            kind = inspect.Parameter.KEYWORD_ONLY
        elif part == "/":
            params = [(n, inspect.Parameter.POSITIONAL_ONLY, d) for n, _, d in params]
        elif part.startswith("**"):
            params.append((part[2:].split(":")[0].strip(), inspect.Parameter.VAR_KEYWORD, False))
        elif part.startswith("*"):
            params.append((part[1:].split(":")[0].strip(), inspect.Parameter.VAR_POSITIONAL, False))
            kind = inspect.Parameter.KEYWORD_ONLY
        else:
            params.append((part.split(":")[0].split("=")[0].strip(), kind, "=" in part))
    return params[1:] if method else params


def runtime_parameters(func, method):
    try:
        sig = inspect.signature(func)
    except (ValueError, TypeError):  # a pybind11 function
        return pybind11_parameters(func, method)
    params = [(p.name, p.kind, p.default is not inspect.Parameter.empty) for p in sig.parameters.values()]
    return params[1:] if method else params


def compare_def(where, node, runtime, method, out):
    decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
    if "property" in decorators:
        if not isinstance(runtime, property):
            out.append(f"{where}: a property in the stub, {type(runtime).__name__} in the module")
        return
    if isinstance(runtime, property) or not callable(runtime):
        out.append(f"{where}: a function in the stub, {type(runtime).__name__} in the module")
        return
    want, got = stub_parameters(node, method), runtime_parameters(runtime, method)
    if want != got:
        show = lambda ps: ", ".join(f"{n}{'=' if d else ''} ({k.name.lower()})" for n, k, d in ps)
        out.append(f"{where}: parameters ({show(want)}) in the stub, ({show(got)}) in the module")


def instance_names(cls):
    """The attributes an instance of a class defined in Python sets in its
    __init__ (pelkaro.Error's), or none."""
    if cls is pelkaro.Error:
        return set(vars(pelkaro.Error("why", stage="read", code="cannot_read")))
    return set()


def compare_class(where, node, cls, out):
    members = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            members[item.name] = item
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            members[item.target.id] = item
    have = {n for n in vars(cls) if not n.startswith("_")} | instance_names(cls)
    for name in sorted(have - set(members)):
        out.append(f"{where}.{name}: in the module, not in the stub")
    for name, item in members.items():
        if not public(name):
            continue
        if name not in have and not (name.startswith("__") and hasattr(cls, name)):
            out.append(f"{where}.{name}: in the stub, not in the module")
        elif isinstance(item, ast.FunctionDef):
            compare_def(f"{where}.{name}", item, inspect.getattr_static(cls, name), True, out)


def compare_name(where, node, runtime, out):
    if isinstance(node, ast.ClassDef):
        if not isinstance(runtime, type):
            out.append(f"{where}: a class in the stub, {type(runtime).__name__} in the module")
        else:
            compare_class(where, node, runtime, out)
    elif isinstance(node, ast.FunctionDef):
        compare_def(where, node, runtime, False, out)
    elif isinstance(node, ast.AnnAssign) and isinstance(node.annotation, ast.Name):
        expected = {"str": str, "bool": bool, "int": int, "float": float}.get(node.annotation.id)
        if expected and type(runtime) is not expected:
            out.append(f"{where}: {node.annotation.id} in the stub, {type(runtime).__name__} in the module")


def module_public_names(module):
    """The module's public names: its __all__ where it has one, else every
    name without a leading underscore that is not a module."""
    if hasattr(module, "__all__"):
        return set(module.__all__)
    return {n for n, v in vars(module).items() if not n.startswith("_") and not inspect.ismodule(v)}


def differences(stub_text, module):
    """Every difference between a stub's text and the module, in words."""
    names = stub_names(ast.parse(stub_text))
    where = module.__name__
    out = []
    missing_ok = set() if getattr(pelkaro, "has_nxcansas", True) else HDF5_ONLY
    for name in sorted(module_public_names(module) - {n for n in names if public(n)}):
        out.append(f"{where}.{name}: in the module, not in the stub")
    for name, node in names.items():
        if not public(name):
            continue
        if not hasattr(module, name):
            if name not in missing_ok:
                out.append(f"{where}.{name}: in the stub, not in the module")
        elif isinstance(node, tuple):  # both stubs are in the package: "." is pelkaro
            _, level, source, original = node
            source = sys.modules.get(f"pelkaro.{source}" if level else source)
            if source is None or getattr(source, original, None) is not getattr(module, name):
                out.append(f"{where}.{name}: the stub re-exports another object than the module has")
        else:
            compare_name(f"{where}.{name}", node, getattr(module, name), out)
    return out


def stub_of(module_file):
    return (PACKAGE / module_file).read_text()


@pytest.mark.parametrize("module_file, module", [("_pelkaro.pyi", _pelkaro), ("__init__.pyi", pelkaro)],
                         ids=["_pelkaro", "pelkaro"])
def test_stubs_name_what_the_module_has(module_file, module):
    assert differences(stub_of(module_file), module) == []


def test_comparison_notices_each_kind_of_difference():
    """The comparison on a spoiled copy of the extension's stub: a renamed
    parameter, a parameter's default lost, a keyword-only one made
    positional, a property the module lacks, a method made a property, a
    function and a class left out, and a name the module lacks."""
    text = stub_of("_pelkaro.pyi")
    spoilt = {
        "def reduce_file(path: _Path, cwd: Optional[_Path] = None)":
            "def reduce_file(path: _Path, where: Optional[_Path] = None)",
        "def check(path: _Path, cwd: Optional[_Path] = None)": "def check(path: _Path, cwd: Optional[_Path])",
        "*, title: Optional[str] = None,": "title: Optional[str] = None,",
        "    def bins(self) -> npt.NDArray[numpy.int32]: ...":
            "    def bins(self) -> npt.NDArray[numpy.int32]: ...\n    @property\n    def volume(self) -> float: ...",
        "    def __len__(self) -> int: ...\n\nclass Image":
            "    @property\n    def __len__(self) -> int: ...\n\nclass Image",
        "def reduce_text(": "def _reduce_text(",
        "class RunTransmission(": "class _RunTransmission(",
        "has_nxcansas: bool": "has_nxcansas: bool\nwavelengths: list[float]",
    }
    for old, new in spoilt.items():
        assert text.count(old) == 1, old
        text = text.replace(old, new)
    found = "\n".join(differences(text, _pelkaro))
    for what in ["_pelkaro.reduce_file: parameters (path (positional_or_keyword), where=",
                 "_pelkaro.check: parameters (path (positional_or_keyword), cwd (positional_or_keyword))",
                 "_pelkaro.Run.write_nxcansas: parameters (path= (positional_or_keyword), title= "
                 "(positional_or_keyword)",
                 "_pelkaro.Curve.volume: in the stub, not in the module",
                 "_pelkaro.Curve.__len__: a property in the stub, instancemethod in the module",
                 "_pelkaro.reduce_text: in the module, not in the stub",
                 "_pelkaro.RunTransmission: in the module, not in the stub",
                 "_pelkaro.wavelengths: in the stub, not in the module"]:
        assert what in found, f"not noticed: {what}\nfound:\n{found}"
    assert len(found.splitlines()) == 8, found
