"""The rules every compiled module shares, in plain Python: argument checks
with their messages, the real-number conversion of a float parameter, and
sum() over floats as Python 3.12+ computes it."""

import math


def neumaier_sum(values):
    """sum() over floats as Python 3.12+ computes it (Neumaier compensation).

    Python 3.11's own sum() is not compensated, so the references call this
    one on every interpreter. An empty input gives 0.0.
    """
    s = c = 0.0
    for x in values:
        t = s + x
        if abs(s) >= abs(x):
            c += (s - t) + x
        else:
            c += (x - t) + s
        s = t
    return s + c if c and math.isfinite(c) else s


def type_error(name, expected, value):
    """The TypeError of a parameter given an object of the wrong type."""
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def check(value, tp, name, allow_none=False):
    """`value` when its type is exactly `tp` (or it is None and that is allowed)."""
    if type(value) is not tp and not (allow_none and value is None):
        raise type_error(name, tp.__name__, value)
    return value


def real(value):
    """A float parameter's conversion: __float__ or __index__; text, bytes and
    complex numbers are refused with the interpreter's own message."""
    if type(value) is float:
        return value
    tp = type(value)
    if isinstance(value, (str, bytes, complex)) or not (hasattr(tp, "__float__") or hasattr(tp, "__index__")):
        raise TypeError(f"must be real number, not {tp.__name__}")
    return float(value)
