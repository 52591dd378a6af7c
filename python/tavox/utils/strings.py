"""String helpers of the tavox framework: the least that the configuration store needs.

``typecast_str`` turns setting text into the value it spells; everything else
passes through untouched, as the very same object.
"""
import re

__all__ = ["typecast_str"]

# Python's decimal integer literal (no leading zeros, so "007" or a postcode keeps
# its text) and its float literal, each with an optional sign; ASCII digits only.
_integer = re.compile(r"[+-]?(?:0|[1-9][0-9]*)", re.ASCII).fullmatch
_float = re.compile(
    r"[+-]?(?:(?:[0-9]+\.[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|[0-9]+[eE][+-]?[0-9]+)", re.ASCII
).fullmatch
_booleans = {"true": True, "false": False}


def typecast_str(value):
    """Return the value that the text ``value`` spells, or ``value`` itself.

    A ``str`` whose whole text is a decimal integer literal becomes that ``int``,
    a float literal that ``float``, and "true" or "false" in any case ``True`` or
    ``False``.  Every other object, and every other text, is returned unchanged:
    the very same object.  Results come back unchanged, so converting twice gives
    what converting once gave.

    >>> typecast_str('8080'), typecast_str('-2.5e3'), typecast_str('TRUE')
    (8080, -2500.0, True)
    >>> typecast_str('007'), typecast_str(' 1'), typecast_str('nan')
    ('007', ' 1', 'nan')
    """
    if not isinstance(value, str):
        return value
    if _integer(value):
        try:
            return int(value)
        except ValueError:  # longer than the interpreter converts (int_max_str_digits)
            return value
    if _float(value):
        return float(value)
    if 4 <= len(value) <= 5 and value.isascii():
        flag = _booleans.get(value.lower())
        if flag is not None:
            return flag
    return value
