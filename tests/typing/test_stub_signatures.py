"""The stub states every signature exactly as the built module does.

pybind11 functions carry no introspectable signature, so stubtest can only
compare the names and kinds of members. Here each function of the stub is
written out the way pybind11 writes the first line of a member's __doc__
(argument names, types, defaults, result) and compared with that line.
"""

import ast
import pathlib

import pytest

import scanner_core

STUB = pathlib.Path(__file__).parents[2] / "src" / "binding" / "scanner_core.pyi"
STUB_TREE = ast.parse(STUB.read_text(encoding="utf-8"))
STUB_CLASSES = {node.name: node for node in STUB_TREE.body if isinstance(node, ast.ClassDef)}


class _Qualify(ast.NodeTransformer):
    """Writes the module's own classes as pybind11 does: scanner_core.Name."""

    def visit_Name(self, node):
        if node.id in STUB_CLASSES:
            return ast.Attribute(value=ast.Name("scanner_core"), attr=node.id)
        return node


def _text(annotation):
    return ast.unparse(_Qualify().visit(annotation))


def pybind11_line(class_name, function, with_name=True):
    """The signature line pybind11 would print for this stub function."""
    args = function.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs), function.name
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    parts = []
    for arg, default in zip(args.args, defaults):
        annotation = f"scanner_core.{class_name}" if arg.arg == "self" else _text(arg.annotation)
        part = f"{arg.arg}: {annotation}"
        if default is not None:
            part += f" = {ast.unparse(default)}"
        parts.append(part)
    name = function.name if with_name else ""
    return f"{name}({', '.join(parts)}) -> {_text(function.returns)}"


def stub_members():
    for class_name, node in STUB_CLASSES.items():
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                yield pytest.param(class_name, item, id=f"{class_name}.{item.name}")


def is_property(function):
    return any(ast.unparse(d) == "property" for d in function.decorator_list)


@pytest.mark.parametrize(("class_name", "function"), list(stub_members()))
def test_stub_signature_equals_the_module_signature_line(class_name, function):
    member = getattr(getattr(scanner_core, class_name), function.name)
    if is_property(function):
        runtime_line = member.fget.__doc__.splitlines()[0]
        assert member.fset is None, "the stub declares a read-only property"
        assert pybind11_line(class_name, function, with_name=False) == runtime_line
    else:
        runtime_line = member.__doc__.splitlines()[0]
        assert pybind11_line(class_name, function) == runtime_line


def test_stub_covers_every_public_member_of_the_module():
    def public(names):
        return {name for name in names if not name.startswith("_") or name in ("__init__", "__repr__")}

    assert set(STUB_CLASSES) == public(vars(scanner_core)) - {"__init__"}
    for class_name, node in STUB_CLASSES.items():
        in_stub = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        at_runtime = public(vars(getattr(scanner_core, class_name)))
        if class_name == "FileResult":
            # pybind11's stand-in that refuses construction is not a constructor.
            at_runtime.discard("__init__")
        assert in_stub == at_runtime, class_name


def test_stub_docstring_is_the_module_docstring():
    assert ast.get_docstring(STUB_TREE, clean=False) == scanner_core.__doc__
