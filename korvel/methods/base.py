"""Base class of the downfolding methods, their result record and their registry."""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from typing import Any

# name -> class, filled as method classes are created
_REGISTRY: dict[str, type] = {}
# name -> (module, class) of methods that are loaded on first use
_LAZY: dict[str, tuple[str, str]] = {
    "cendrel": ("korvel.methods.cendrel", "CCSDDownfold"),
    "unitary": ("korvel.methods.unitary", "UnitaryDownfold"),
}


@dataclass
class Result:
    """What a method's run returns."""

    method: str
    backend: str
    effective_hamiltonian: Any
    energy: float
    reference_energy: float
    observables: dict[str, Any] = field(default_factory=dict)


class Method:
    """A downfolding method. ``options`` is the keyword mapping it reads.

    A subclass with a string class attribute ``name`` is registered under that name.
    """

    name: str = ""
    #: a callable taking one line of progress text, or None; set by the driver
    progress = None

    def __init__(self, options=None):
        self.options = {} if options is None else options

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        name = cls.__dict__.get("name")
        if isinstance(name, str) and name:
            _REGISTRY[name] = cls

    def run(self, problem, backend) -> Result:
        raise NotImplementedError(f"method {self.name!r} does not define run")


def method_names() -> list[str]:
    """Names accepted by :func:`get_method`."""
    return sorted(set(_REGISTRY) | set(_LAZY))


def get_method(name: str) -> type:
    """The method class registered as ``name`` (importing its module if needed)."""
    if name not in _REGISTRY and name in _LAZY:
        module, _ = _LAZY[name]
        importlib.import_module(module)
    try:
        return _REGISTRY[name]
    except KeyError:
        raise ValueError(
            f"unknown method {name!r}; expected one of: {', '.join(method_names())}"
        ) from None
