"""Named tuples declared as typing.NamedTuple declares them (each annotated
name of the class body a field, its value if any the default), made
without importing typing, which costs more than judging a small plugin.

Type checkers read the declarations as typing.NamedTuple's:

    TYPE_CHECKING = False
    if TYPE_CHECKING:
        from typing import NamedTuple
    else:
        from scanner_gate.records import NamedTuple

The class made is collections.namedtuple's, with the body's other members
(methods, properties, the docstring) on a subclass of it. The fields are
read from the class body's annotations, which Python 3.13 evaluates as the
body runs.
"""

import collections

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

# Called by name, not as a namedtuple declaration: the fields are known
# only when a class body has run.
_tuple_class: "Callable[..., type]" = collections.namedtuple


class _Record(type):
    def __new__(cls, name: str, bases: tuple[type, ...], namespace: dict[str, object]) -> type:
        if not bases:  # NamedTuple itself
            return super().__new__(cls, name, bases, namespace)
        annotations = namespace.get("__annotations__", {})
        fields = list(annotations) if isinstance(annotations, dict) else []
        defaults = [namespace[field] for field in fields if field in namespace]
        if any(field not in namespace for field in fields[len(fields) - len(defaults):]):
            raise TypeError(f"{name}: a field without a default follows one with a default")
        base = _tuple_class(name, fields, defaults=defaults, module=namespace.get("__module__"))
        members = {key: value for key, value in namespace.items() if key not in fields}
        members["__slots__"] = ()
        return type(name, (base,), members)


class NamedTuple(metaclass=_Record):
    """The base of a record declared as typing.NamedTuple's are."""
