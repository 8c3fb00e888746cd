"""The host package's modules import one another without a cycle: every
import statement of every module counts, also one inside a function."""

import ast
import os

import zelm

ROOT = os.path.dirname(zelm.__file__)


def module_files():
    """Module name -> file of every Python module of the package."""
    files = {}
    for directory, _, names in os.walk(ROOT):
        for name in names:
            if name.endswith(".py"):
                parts = ["zelm", *os.path.relpath(os.path.join(directory, name[:-3]), ROOT).split(os.sep)]
                files[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = os.path.join(directory, name)
    return files


def imported_modules(path, modules):
    """The package's modules that the file imports. `from P import N` imports
    the module P.N when there is one, else P itself."""
    with open(path, encoding="utf-8") as source:
        tree = ast.parse(source.read())
    imported = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            imported.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            imported.update(f"{node.module}.{alias.name}" if f"{node.module}.{alias.name}" in modules else node.module
                            for alias in node.names)
    return imported & set(modules)


def test_no_import_cycle_among_the_modules_of_zelm():
    modules = module_files()
    graph = {name: imported_modules(path, modules) - {name} for name, path in modules.items()}
    assert len(graph) > 20 and graph["zelm.cli.main"] >= {"zelm.cli.commands", "zelm.profiler"}

    finished, path = set(), []

    def visit(name):
        assert name not in path, "import cycle: " + " -> ".join(path[path.index(name):] + [name])
        if name in finished:
            return
        path.append(name)
        for imported in sorted(graph[name]):
            visit(imported)
        path.pop()
        finished.add(name)

    for name in sorted(graph):
        visit(name)
