"""How the package's error messages show a number that a caller gave."""

from __future__ import annotations

# Past this many bits a number is described, not printed: 77 digits still read as a number.
_PRINTED_BITS = 256


def shown(value: object) -> str:
    """``value`` as a message shows it: in decimal, or by its size when it is too long to print.

    Python refuses to turn an int of 4,300 digits or more into text, so a message that formats
    such an argument would fail with an error about string conversion instead of about the
    argument.
    """
    if not isinstance(value, int):
        return repr(value)
    bits = value.bit_length()
    if bits <= _PRINTED_BITS:
        return str(value)
    return f"(a {'negative ' if value < 0 else ''}number of {bits} bits)"
