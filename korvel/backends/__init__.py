"""Registry of operator-algebra backends, resolved lazily by name.

Importing this package loads no backend module; ``get_backend`` imports the one asked
for. "auto" takes the GPU backend when it is installed and finds a CUDA device, and the
native CPU backend ("cpu", the same Majorana algebra run in the C++ engine) otherwise.
The OpenFermion reference backend ("openfermion") defines what is correct but is
hundreds of times slower; it runs only when asked for by name.
"""

from __future__ import annotations

import importlib

from korvel.backends.base import Backend, FermionOp

# name -> (module, class)
_REGISTRY: dict[str, tuple[str, str]] = {
    "openfermion": ("korvel.backends.olmera", "OpenFermionBackend"),
    "gpu": ("korvel.backends.tavrin", "GpuBackend"),
    "cpu": ("korvel.backends.tavrin", "CpuBackend"),
}


def backend_names() -> list[str]:
    """Names accepted by :func:`get_backend`, "auto" first."""
    return ["auto", *_REGISTRY]


def register_backend(name: str, module: str, cls: str) -> None:
    """Make ``module.cls`` available as backend ``name``."""
    _REGISTRY[name] = (module, cls)


def _load(name: str) -> type:
    module, cls = _REGISTRY[name]
    found = getattr(importlib.import_module(module), cls, None)
    if found is None:  # module built without its backend class yet
        raise ImportError(f"{module} does not define {cls}")
    return found


def get_backend(name: str = "auto") -> Backend:
    """A new instance of the backend registered as ``name``; "auto" is the GPU backend
    when it finds a CUDA device, else the native CPU backend."""
    if not isinstance(name, str):
        raise TypeError(f"backend name must be a string, not {type(name).__name__}")
    if name == "auto":
        try:
            gpu = _load("gpu")()
        except ImportError:
            gpu = None
        if gpu is not None and gpu.available():
            return gpu
        try:
            return _load("cpu")()
        except ImportError as exc:
            raise ImportError(f"backend 'auto' found no GPU and the native CPU backend "
                              f"is not installed: {exc}") from exc
    if name not in _REGISTRY:
        raise ValueError(
            f"unknown backend {name!r}; expected one of: {', '.join(backend_names())}")
    try:
        return _load(name)()
    except ImportError as exc:
        raise ImportError(f"backend {name!r} is not installed: {exc}") from exc


__all__ = ["Backend", "FermionOp", "backend_names", "get_backend", "register_backend"]
