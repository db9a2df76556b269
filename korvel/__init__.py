"""korvel: fold the electron correlation of a molecule's whole orbital space into an
effective Hamiltonian on a small active space, and measure that Hamiltonian."""

__version__ = "0.1.0"
