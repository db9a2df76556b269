"""Downfolding methods, found by name."""

from korvel.methods.base import Method, Result, get_method, method_names

__all__ = ["Method", "Result", "get_method", "method_names"]
