"""Each stub states every signature exactly as its built module does.

pybind11 functions carry no introspectable signature, so stubtest can only
compare the names and kinds of members. Here each function of a stub is
written out the way pybind11 writes the first line of a member's __doc__
(argument names, types, defaults, result) and compared with that line.
"""

import ast
import importlib
import pathlib

import pytest

BINDING = pathlib.Path(__file__).parents[2] / "src" / "binding"
MODULES = ("scanner_core", "scanner_audit")
# Type aliases of a stub that the binding can only write as `object`: it
# takes any object and converts it itself (paths, through os.fsencode).
LOOSE_ALIASES = {"_Path": "object"}


def stub_tree(module_name):
    return ast.parse((BINDING / f"{module_name}.pyi").read_text(encoding="utf-8"))


def stub_classes(module_name):
    return {node.name: node for node in stub_tree(module_name).body if isinstance(node, ast.ClassDef)}


class _Qualify(ast.NodeTransformer):
    """Writes the module's own classes as pybind11 does (module.Name), and
    the aliases the binding cannot state as what it states."""

    def __init__(self, module_name):
        self.module_name = module_name
        self.classes = stub_classes(module_name)

    def visit_Name(self, node):
        if node.id in self.classes:
            return ast.Attribute(value=ast.Name(self.module_name), attr=node.id)
        if node.id in LOOSE_ALIASES:
            return ast.Name(LOOSE_ALIASES[node.id])
        return node


def pybind11_line(module_name, class_name, function, with_name=True):
    """The signature line pybind11 would print for this stub function."""
    args = function.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs), function.name
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    qualify = _Qualify(module_name)
    parts = []
    for arg, default in zip(args.args, defaults):
        if arg.arg == "self":
            part = f"self: {module_name}.{class_name}"
        else:
            part = f"{arg.arg}: {ast.unparse(qualify.visit(arg.annotation))}"
        if default is not None:
            part += f" = {ast.unparse(default)}"
        parts.append(part)
    name = function.name if with_name else ""
    return f"{name}({', '.join(parts)}) -> {ast.unparse(qualify.visit(function.returns))}"


def stub_members():
    for module_name in MODULES:
        for class_name, node in stub_classes(module_name).items():
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield pytest.param(module_name, class_name, item, id=f"{module_name}.{class_name}.{item.name}")


def is_property(function):
    return any(ast.unparse(d) == "property" for d in function.decorator_list)


@pytest.mark.parametrize(("module_name", "class_name", "function"), list(stub_members()))
def test_stub_signature_equals_the_module_signature_line(module_name, class_name, function):
    member = getattr(getattr(importlib.import_module(module_name), class_name), function.name)
    if is_property(function):
        runtime_line = member.fget.__doc__.splitlines()[0]
        assert member.fset is None, "the stub declares a read-only property"
        # pybind11 names the instance of a property defined by a lambda arg0.
        runtime_line = runtime_line.replace("(arg0: ", "(self: ", 1)
        assert pybind11_line(module_name, class_name, function, with_name=False) == runtime_line
    else:
        runtime_line = member.__doc__.splitlines()[0]
        assert pybind11_line(module_name, class_name, function) == runtime_line


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_covers_every_public_member_of_the_module(module_name):
    module = importlib.import_module(module_name)

    def public(names):
        return {name for name in names if not name.startswith("_") or name in ("__init__", "__repr__")}

    classes = stub_classes(module_name)
    functions = {node.name for node in stub_tree(module_name).body if isinstance(node, ast.FunctionDef)}
    assert set(classes) | functions == public(vars(module)) - {"__init__"}
    for class_name, node in classes.items():
        in_stub = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        at_runtime = public(vars(getattr(module, class_name)))
        if "__init__" not in in_stub:
            # pybind11's stand-in that refuses construction is not a constructor.
            at_runtime.discard("__init__")
        assert in_stub == at_runtime, class_name


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_docstring_is_the_module_docstring(module_name):
    assert ast.get_docstring(stub_tree(module_name), clean=False) == importlib.import_module(module_name).__doc__
