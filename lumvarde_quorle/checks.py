"""The argument checks of the Python package, one convention for all: TypeError for a value of the wrong
type, ValueError for a value of the right type out of range, each message naming the argument and saying
what was given."""

from __future__ import annotations

import math
import operator
from typing import Any

__all__ = ["whole_number", "finite_number"]


def _given(value: Any) -> str:
    return f"{type(value).__name__} {value!r}" if not isinstance(value, (int, float)) else repr(value)


def whole_number(value: Any, name: str, *, minimum: int | None = None, maximum: int | None = None) -> int:
    """`value` as an int: any integer but a bool (numpy's included)."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a whole number, not a bool ({value!r})")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a whole number, not {_given(value)}") from None
    if (minimum is not None and number < minimum) or (maximum is not None and number > maximum):
        bounds = (
            f"from {minimum} to {maximum}" if minimum is not None and maximum is not None
            else f"at least {minimum}" if minimum is not None else f"at most {maximum}"
        )
        raise ValueError(f"{name} must be {bounds}, got {number}")
    return number


def finite_number(value: Any, name: str, *, minimum: float | None = None) -> float:
    """`value` as a finite float: any real number but a bool."""
    if isinstance(value, bool) or isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a number, not {_given(value)}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {_given(value)}") from None
    except OverflowError:  # an int or Fraction beyond the floats, whose digits may be too many to show
        raise ValueError(f"{name} must be a finite number, got one beyond the range of floats") from None
    if not math.isfinite(number) or (minimum is not None and number < minimum):
        least = "" if minimum is None else f" of at least {minimum:g}"
        raise ValueError(f"{name} must be a finite number{least}, got {value!r}")
    return number
