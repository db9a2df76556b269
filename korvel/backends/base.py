"""Base class of the operator-algebra backends and the operator mapping type.

An operator is a mapping from term to coefficient, in the layout of OpenFermion's
``FermionOperator.terms``: a term is a tuple of (spin-orbital index, dagger) pairs read
left to right as a product (dagger 1 = creation, 0 = annihilation); the empty tuple is
the identity.
"""

from __future__ import annotations

from typing import Dict, Tuple

Term = Tuple[Tuple[int, int], ...]

#: The operator type every backend takes and returns (used for annotations).
FermionOp = Dict[Term, complex]


class Backend:
    """An operator-algebra backend: multiply, commute, normal-order, transform.

    Subclasses set the class attribute ``name``; the registry of
    :mod:`korvel.backends` finds them by it.
    """

    name: str = ""

    def available(self) -> bool:
        """Whether this backend can run on this machine."""
        return True

    def __repr__(self) -> str:
        return f"<{type(self).__name__} backend {self.name!r}>"
