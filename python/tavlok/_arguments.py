"""The checks of the package's arguments, each with one wording for one mistake.

Every public entry point checks what it is given here, once, where the value enters, before
anything changes: a seed, a whole number in a range, one of a few named choices, a list of a set
length, the options of a reset. A caller who gets the same argument wrong at two entry points reads
the same message, with a number shown as ``shown`` shows it.
"""

from __future__ import annotations

import operator
from collections.abc import Collection, Iterable, Mapping, Sequence
from typing import Any

# Seeds feed generators of 64 bits (the engine's, one per game).
SEED_LIMIT = 2**64
# Past this many bits a number is described, not printed: 77 digits still read as a number.
_PRINTED_BITS = 256


def shown(value: object) -> str:
    """``value`` as a message shows it: in decimal, or by its size when it is too long to print
    (Python refuses to turn an int of 4,300 digits or more into text, so a message that formatted
    such an argument would fail with an error about string conversion instead)."""
    if not isinstance(value, int):
        return repr(value)
    bits = value.bit_length()
    if bits <= _PRINTED_BITS:
        return str(value)
    return f"(a {'negative ' if value < 0 else ''}number of {bits} bits)"


def whole(
    value: object,
    name: str,
    low: int | None = None,
    high: int | None = None,
    *,
    allow_none: bool = False,
) -> Any:
    """``value`` as an int from ``low`` to ``high`` (no bound where None; a ``high`` comes with a
    ``low``); None when ``allow_none`` and it is None.

    Anything with ``__index__`` counts as a whole number except a bool, which is more likely a
    mistaken argument than the 0 or 1 it stands for: TypeError. A number out of range: ValueError.
    """
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        alternative = "None or " if allow_none else ""
        raise TypeError(f"{name} must be {alternative}a whole number, not {type(value).__name__}")
    number = operator.index(value)  # type: ignore[arg-type]
    if (low is None or number >= low) and (high is None or number <= high):
        return number
    allowed = f"{low} or more" if high is None else f"between {low} and {_bound(high)}"
    raise ValueError(f"{name} must be {allowed}, not {shown(number)}")


def seed(
    value: object, name: str = "seed", *, allow_none: bool = True, below: int | None = SEED_LIMIT
) -> Any:
    """A seed: a whole number from 0, below ``below`` (2**64, what the engine's generators take;
    None for a seed of any size, for numpy's ``SeedSequence``)."""
    return whole(value, name, 0, None if below is None else below - 1, allow_none=allow_none)


def choice(value: object, name: str, options: Sequence[Any], *, allow_none: bool = False) -> Any:
    """``value`` when it is one of ``options`` (or None, when ``allow_none``); else ValueError
    listing them."""
    if (value is None and allow_none) or value in options:
        return value
    allowed = _listed([None, *options] if allow_none else options)
    raise ValueError(f"{name} must be {allowed}, not {value!r}")


def counted(values: Iterable[Any], name: str, count: int) -> list[Any]:
    """``values`` as a list when there are ``count`` of them; else ValueError."""
    listed = list(values)
    if len(listed) != count:
        raise ValueError(f"{name} must hold {count}, not {len(listed)}")
    return listed


def options(value: object, known: Collection[str] | None = ()) -> Mapping[str, Any]:
    """The options of a reset: None or a mapping (TypeError otherwise) whose keys are among
    ``known`` (ValueError otherwise; ``known=None`` takes any key, as an API that must accept
    options it has no use for does). None gives an empty mapping."""
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(f"options must be None or a mapping, not {type(value).__name__}")
    if known is not None:
        unknown = sorted(str(key) for key in value if key not in known)
        if unknown:
            taken = _listed(list(known)) if known else "none"
            raise ValueError(f"unknown options {unknown}: reset() takes {taken}")
    return value


def _listed(values: Sequence[Any]) -> str:
    """'a', 'b' or 'c'."""
    shown_values = [repr(value) for value in values]
    if len(shown_values) == 1:
        return shown_values[0]
    return f"{', '.join(shown_values[:-1])} or {shown_values[-1]}"


def _bound(number: int) -> str:
    """A bound as a message shows it: one below a large power of two as such (2**64 - 1)."""
    bits = (number + 1).bit_length() - 1
    if bits >= 32 and number + 1 == 1 << bits:
        return f"2**{bits} - 1"
    return shown(number)
