"""The toolkit's import graph: no module imports itself through others (not even
from inside a function, where a cycle only bites on the call that runs it), and
every name is imported from the module that defines it, so that moving a name
breaks its importers at once instead of through a re-export left behind."""

import ast
import importlib
import importlib.util
import re
from pathlib import Path

import vornlib_tools

PACKAGE = "vornlib_tools"
# In a checkout the package sits beside the tests; the release suite runs against
# the installed package, with the tests, bench and examples copied beside each other.
PROJECT = Path(__file__).resolve().parents[2]
DOCUMENT_IMPORT = re.compile(r"^(?:>>> )?(?P<statement>from vornlib_tools[\w.]* import (?:\([^)]*\)|.*)"
                             r"|import vornlib_tools.*)", re.MULTILINE)


def modules_of(package_dir):
    """{dotted module name: parsed source} for every module of the package and its subpackages."""
    modules = {}
    for path in sorted(package_dir.rglob("*.py")):
        parts = path.relative_to(package_dir).with_suffix("").parts
        modules[".".join((PACKAGE, *parts[:-1 if parts[-1] == "__init__" else None]))] = \
            ast.parse(path.read_text(), str(path))
    return modules


def packages_of(modules, package_dir):
    """The dotted names of the package and its subpackages."""
    return {name for name in modules
            if (package_dir.joinpath(*name.split(".")[1:]) / "__init__.py").is_file()}


def needs_missing_extra(name):
    """True for a module whose optional extra is not installed: torch_data needs
    torch, the training recipe the train extra (torch and scikit-learn)."""
    if name == "vornlib_tools._torch_data":
        return importlib.util.find_spec("torch") is None
    if name.startswith("vornlib_tools.recipe"):
        return any(importlib.util.find_spec(m) is None for m in ("torch", "sklearn", "pandas", "tqdm"))
    return False


def defined_names(tree):
    """The names a module binds itself at top level (imports excluded)."""
    names, pending = set(), list(tree.body)
    while pending:
        node = pending.pop()
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            for target in node.targets if isinstance(node, ast.Assign) else [node.target]:
                names.update(n.id for n in ast.walk(target) if isinstance(n, ast.Name))
        elif isinstance(node, (ast.If, ast.Try, ast.With)):
            pending += node.body + getattr(node, "orelse", []) + getattr(node, "finalbody", [])
            pending += [statement for handler in getattr(node, "handlers", []) for statement in handler.body]
    return names


def imported(tree, modules):
    """(module, name, line) for every toolkit name the tree imports, at any depth;
    name is None for a whole module. `from vornlib_tools import x` of a submodule
    counts as importing that module."""
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.split(".")[0] == PACKAGE:
                    yield alias.name, None, node.lineno
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and (node.module or "").split(".")[0] == PACKAGE:
            for alias in node.names:
                submodule = f"{node.module}.{alias.name}"
                if submodule in modules:
                    yield submodule, None, node.lineno
                else:
                    yield node.module, alias.name, node.lineno


def find_cycle(modules):
    """A list of modules that import each other in a ring, or None."""
    # A submodule that imports a name from the package closes a ring through the
    # package's own imports of its submodules.
    edges = {name: {target for target, _, _ in imported(tree, modules) if target != name}
             for name, tree in modules.items()}
    state, path = {}, []

    def visit(name):
        state[name] = "open"
        path.append(name)
        for target in sorted(edges.get(name, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state and (ring := visit(target)):
                return ring
        state[name] = "done"
        path.pop()
        return None

    for name in sorted(modules):
        if name not in state and (ring := visit(name)):
            return ring
    return None


def misplaced_imports(source_name, tree, modules, definitions):
    """'where: module.name' for each imported name its module does not define (the
    package itself may re-export its public names)."""
    faults = []
    for module, name, line in imported(tree, modules):
        if module not in modules:
            faults.append(f"{source_name}:{line}: no module {module}")
        elif name is not None and name not in definitions[module]:
            faults.append(f"{source_name}:{line}: {module}.{name} is not defined there")
    return faults


def exported_names(tree):
    """The names in a module's __all__, if it has one."""
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "__all__" for t in node.targets):
            return set(ast.literal_eval(node.value))
    return set()


def sources_of(project):
    """(where, parsed source) for the Python files outside the package and the
    documents' import statements, those that exist here."""
    for directory in ("tests", "bench", "examples"):
        for path in sorted((project / directory).rglob("*.py")):
            yield str(path.relative_to(project)), ast.parse(path.read_text(), str(path))
    for path in [project / "README.md", *sorted(project.glob("*/*.md"))]:
        if path.is_file():
            # Documents hold signatures and fragments too: parse their import statements alone.
            text = path.read_text()
            for match in DOCUMENT_IMPORT.finditer(text):
                line = text.count("\n", 0, match.start()) + 1
                yield f"{path.relative_to(project)}:{line}", ast.parse(match["statement"])


def test_toolkit_imports_form_no_cycle_and_come_from_the_defining_module(tmp_path):
    # The checks themselves, on a planted ring (one side inside a function) and a re-export.
    planted = tmp_path / PACKAGE
    planted.mkdir()
    (planted / "__init__.py").write_text("")
    (planted / "a.py").write_text(f"from {PACKAGE}.b import g\ndef f():\n    return g()\n")
    (planted / "b.py").write_text(f"def g():\n    from {PACKAGE} import a\n    return a\n")
    (planted / "c.py").write_text(f"from {PACKAGE}.a import g\n")
    planted_modules = modules_of(planted)
    assert find_cycle(planted_modules) == [f"{PACKAGE}.a", f"{PACKAGE}.b", f"{PACKAGE}.a"]
    planted_definitions = {name: defined_names(tree) for name, tree in planted_modules.items()}
    assert misplaced_imports("c.py", planted_modules["vornlib_tools.c"], planted_modules, planted_definitions) == [
        "c.py:1: vornlib_tools.a.g is not defined there"]

    package_dir = Path(vornlib_tools.__file__).resolve().parent
    modules = modules_of(package_dir)
    assert len(modules) > 10 and "vornlib_tools._graph" in modules and "vornlib_tools._check" in modules
    packages = packages_of(modules, package_dir)
    assert packages == {PACKAGE, "vornlib_tools.recipe"} and "vornlib_tools.recipe.training" in modules
    for name in sorted(modules):
        if not needs_missing_extra(name):
            importlib.import_module(name)
    assert find_cycle(modules) is None
    definitions = {name: defined_names(tree) for name, tree in modules.items()}
    # A module's __all__ names only what it defines; a package re-exports its public names.
    for name, tree in modules.items():
        if name not in packages:
            assert exported_names(tree) <= definitions[name], (name, exported_names(tree) - definitions[name])
    for name in packages:
        definitions[name] |= exported_names(modules[name])
    faults = [fault for name, tree in modules.items()
              for fault in misplaced_imports(name, tree, modules, definitions)]
    faults += [fault for where, tree in sources_of(PROJECT)
               for fault in misplaced_imports(where, tree, modules, definitions)]
    assert faults == []


# The public surface: vornlib_tools.__all__, and the public submodules below; every other module
# is private (a leading underscore), and what users read (README, docs, examples) names only these.
PUBLIC_SUBMODULES = {"synthetic", "recipe"}


def test_the_public_surface_is_declared_and_everything_else_is_private():
    package_dir = Path(vornlib_tools.__file__).resolve().parent
    top = {path.stem for path in package_dir.glob("*.py")} - {"__init__"}
    top |= {path.parent.name for path in package_dir.glob("*/__init__.py")}
    assert {name for name in top if not name.startswith("_")} == PUBLIC_SUBMODULES
    public = set(vornlib_tools.__all__)
    assert all(hasattr(vornlib_tools, name) for name in public)
    private_use = re.compile(r"\bvornlib_tools\._[a-z]\w*")
    readers = [PROJECT / "README.md", *sorted((PROJECT / "docs").glob("*.md")),
               *sorted((PROJECT / "examples").rglob("*.py"))]
    found = [f"{path.relative_to(PROJECT)}: {match}" for path in readers if path.is_file()
             for match in private_use.findall(path.read_text())]
    assert found == []
    for path in readers:
        if not path.is_file():
            continue
        for line in path.read_text().splitlines():
            match = re.match(r"\s*(?:>>> )?from vornlib_tools import \(?([\w, ]+)", line)
            if match:
                names = {name.strip() for name in match.group(1).split(",") if name.strip()}
                assert names <= public | PUBLIC_SUBMODULES, (path.name, names - public - PUBLIC_SUBMODULES)
