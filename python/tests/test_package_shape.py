"""The package's shape: its modules import one another in one direction
(no circle, not even through an import inside a function), no module uses
another's private names, an import inside a function is kept for a module
that is costly or optional to load, and no module grows past 450 lines."""

import ast
import os

import pytest

PACKAGE_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "velmar")

# The layers, lowest first: a module imports only from its own layer or a
# lower one. A package not named here (one added later) counts as a top layer.
LAYERS = [("common",), ("game",), ("net",), ("serving",), ("runner",), ("selfplay", "arena"),
          ("ratings",),
          ("learning",)]
TOP = len(LAYERS)
# What makes a module worth importing only where it is needed: packages that
# are large, or missing under some interpreters (PyPy has no NumPy here).
HEAVY = ("numpy", "torch", "matplotlib", "distributed", "PIL")
MAX_LINES = 450


def module_files():
    out = {}
    for root, _, files in os.walk(PACKAGE_DIR):
        for f in files:
            if f.endswith(".py"):
                path = os.path.join(root, f)
                rel = os.path.relpath(path, os.path.dirname(PACKAGE_DIR))[:-3].split(os.sep)
                if rel[-1] == "__init__":
                    rel = rel[:-1]
                out[".".join(rel)] = path
    return out


MODULES = module_files()


class Imports(ast.NodeVisitor):
    """Every import of a module: (target, names, inside a function, line),
    with the package's own targets resolved to module names."""

    def __init__(self, name):
        self.name = name
        self.depth = 0
        self.found = []
        self.aliases = {}  # a local name bound to one of the package's modules

    def visit_FunctionDef(self, node):
        self.depth += 1
        self.generic_visit(node)
        self.depth -= 1

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_Import(self, node):
        for a in node.names:
            self.found.append((a.name, [], self.depth > 0, node.lineno))
            if a.name in MODULES and a.asname:
                self.aliases[a.asname] = a.name

    def visit_ImportFrom(self, node):
        base = node.module or ""
        for a in node.names:
            full = base + "." + a.name
            if full in MODULES:  # a module of a package
                self.found.append((full, [], self.depth > 0, node.lineno))
                self.aliases[a.asname or a.name] = full
            else:
                self.found.append((base, [a.name], self.depth > 0, node.lineno))


def parse(name):
    with open(MODULES[name]) as f:
        tree = ast.parse(f.read(), MODULES[name])
    v = Imports(name)
    v.visit(tree)
    return tree, v


PARSED = {name: parse(name) for name in MODULES}


def own(target):
    return target in MODULES and target != "velmar"


def layer(name):
    parts = name.split(".")
    if len(parts) < 2 or parts[1] == "__main__":
        return TOP + 1 if len(parts) > 1 else -1  # the entry point is above everything
    for rank, packages in enumerate(LAYERS):
        if parts[1] in packages:
            return rank
    return TOP


def edges():
    return {name: sorted({t for t, _, _, _ in PARSED[name][1].found if own(t)})
            for name in MODULES}


def find_cycle(graph):
    """A list of modules that import one another in a circle, or None."""
    state = {}

    def visit(n, path):
        state[n] = 1
        path.append(n)
        for m in graph.get(n, ()):
            if state.get(m) == 1:
                return path[path.index(m):] + [m]
            if m not in state:
                found = visit(m, path)
                if found:
                    return found
        path.pop()
        state[n] = 2
        return None

    for n in sorted(graph):
        if n not in state:
            found = visit(n, [])
            if found:
                return found
    return None


def heavy_at_import(name, seen=None):
    """Whether importing ``name`` loads something in HEAVY (through the
    imports at its top level)."""
    seen = set() if seen is None else seen
    if name in seen:
        return False
    seen.add(name)
    for target, names, inside, _ in PARSED[name][1].found:
        if inside:
            continue
        full = [target] + [target + "." + n for n in names]
        if any(f == h or f.startswith(h + ".") for f in full for h in HEAVY):
            return True
        if own(target) and heavy_at_import(target, seen):
            return True
    return False


def test_the_walk_sees_the_package():
    assert {"velmar.selfplay.play", "velmar.arena.arena", "velmar.runner.runner",
            "velmar.serving.server", "velmar.common.settings"} <= set(MODULES)
    assert "velmar.runner.runner" in edges()["velmar.selfplay.play"]


@pytest.mark.parametrize("graph,cycle", [
    ({"a": ["b"], "b": ["c"], "c": []}, None),
    ({"a": ["b"], "b": ["c"], "c": ["a"]}, ["a", "b", "c", "a"]),
    ({"a": ["a"]}, ["a", "a"]),
])
def test_find_cycle(graph, cycle):
    assert find_cycle(graph) == cycle


def test_no_import_circle_even_inside_functions():
    assert find_cycle(edges()) is None


def test_imports_point_down_the_layers():
    wrong = ["%s (layer %d) imports %s (layer %d)" % (n, layer(n), t, layer(t))
             for n, targets in edges().items() for t in targets if layer(t) > layer(n)]
    assert wrong == []


def test_an_import_inside_a_function_is_for_a_heavy_or_optional_module():
    needless = ["%s:%d imports %s" % (n, line, t)
                for n in MODULES for t, _, inside, line in PARSED[n][1].found
                if inside and own(t) and not heavy_at_import(t)]
    assert needless == []


def test_no_module_uses_another_modules_private_names():
    used = []
    for n in MODULES:
        tree, v = PARSED[n]
        for target, names, _, line in v.found:
            if target.startswith("velmar") and target != n:
                used += ["%s:%d %s.%s" % (n, line, target, x) for x in names
                         if x.startswith("_") and not x.startswith("__")]
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                    and node.value.id in v.aliases and node.attr.startswith("_")
                    and not node.attr.startswith("__")):
                used.append("%s:%d %s.%s" % (n, node.lineno, v.aliases[node.value.id],
                                             node.attr))
    assert used == []


def test_no_module_over_450_lines():
    long = {}
    for n, path in MODULES.items():
        with open(path) as f:
            lines = sum(1 for _ in f)
        if lines > MAX_LINES:
            long[n] = lines
    assert long == {}
