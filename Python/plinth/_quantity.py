"""Physical values with their units."""

import math
import re
from operator import itemgetter
from typing import Union

from . import _plinth

#: The unit symbols the library knows, with what each measures ("length", "angle", "none").
UNITS = dict(_plinth.units())

_QUANTITY_TEXT = re.compile(r"\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)\s*(\S*)\s*$")


class Quantity(tuple):
    """A number with its unit, e.g. ``Quantity(12.5, "um")`` or ``Quantity.parse("1 mm")``.

    The units are those of the library: m, mm, µm (also written um), nm, ° (deg), rad, and ""
    for a bare number; cm is read as well and kept as mm (``Quantity(1, "cm")`` is 10 mm). A
    plain float given where a position or length is expected means micrometres. Quantities of
    one kind add, subtract and compare across units, ``==`` included: ``Quantity(1, "mm") ==
    Quantity(1000, "µm")``, equal within the rounding of a conversion (a relative 1e-12); values
    of different kinds are unequal. ``float(q)`` of a length is its value in micrometres, as every
    plain float of the package is; of another kind it raises TypeError (use ``q.to(unit).value``).

    It is a named pair ``(value, unit)``, which is also how the binding module takes it.
    """

    __slots__ = ()

    def __new__(cls, value: float, unit: str = "µm") -> "Quantity":
        if unit == "cm":
            value, unit = float(value) * 10.0, "mm"
        symbol = _plinth.unit_symbol(unit)
        if symbol is None:
            raise ValueError(f"unknown unit {unit!r}; known: {', '.join(u for u in UNITS if u)}")
        return tuple.__new__(cls, (float(value), symbol))

    value = property(itemgetter(0), doc="The number, in `unit`.")
    unit = property(itemgetter(1), doc="The unit's symbol (\"µm\", \"mm\", ...).")

    @classmethod
    def parse(cls, text: str) -> "Quantity":
        """Reads "12.5um", "12.5 µm", "-1mm", "2cm", "0.001 m" or "0.1 deg"."""
        match = _QUANTITY_TEXT.match(text)
        if not match:
            raise ValueError(f"not a value with a unit: {text!r}")
        return cls(float(match.group(1)), match.group(2))

    @classmethod
    def of(cls, value: "QuantityLike", unit: str = "µm") -> "Quantity":
        """`value` as a Quantity: a Quantity or (value, unit) pair as it is, a number in `unit`."""
        if isinstance(value, Quantity):
            return value
        if isinstance(value, tuple) and len(value) == 2 and isinstance(value[1], str):
            return cls(value[0], value[1])
        if isinstance(value, str):
            return cls.parse(value)
        return cls(value, unit)

    def to(self, unit: str) -> "Quantity":
        """This value in another unit of the same kind (raises IncompatibleUnitsError otherwise)."""
        return Quantity(_plinth.convert(self.value, self.unit, unit), unit)

    @property
    def um(self) -> float:
        """The value in micrometres."""
        return self.to("µm").value

    def isclose(self, other: "QuantityLike", *, abs_tol: float = 1e-9) -> bool:
        """Whether `other` (in any unit of this kind) differs by at most `abs_tol` of this unit."""
        return math.isclose(self.value, Quantity.of(other).to(self.unit).value, rel_tol=1e-12, abs_tol=abs_tol)

    def _other(self, other: "QuantityLike") -> float:
        return Quantity.of(other).to(self.unit).value

    def __add__(self, other):
        return Quantity(self.value + self._other(other), self.unit)

    def __radd__(self, other):
        return self + other

    def __sub__(self, other):
        return Quantity(self.value - self._other(other), self.unit)

    def __rsub__(self, other):
        return Quantity.of(other) - self

    def __neg__(self):
        return Quantity(-self.value, self.unit)

    def __mul__(self, factor: float):
        if not isinstance(factor, (int, float)):
            return NotImplemented
        return Quantity(self.value * factor, self.unit)

    __rmul__ = __mul__

    def __truediv__(self, divisor: float):
        if not isinstance(divisor, (int, float)):
            return NotImplemented
        return Quantity(self.value / divisor, self.unit)

    def __lt__(self, other):
        return self.value < self._other(other)

    def __le__(self, other):
        return self.value <= self._other(other)

    def __gt__(self, other):
        return self.value > self._other(other)

    def __ge__(self, other):
        return self.value >= self._other(other)

    def __eq__(self, other):
        try:
            converted = self._other(other)
        except _plinth.IncompatibleUnitsError:
            return False
        except (TypeError, ValueError):
            return NotImplemented
        return math.isclose(self.value, converted, rel_tol=1e-12, abs_tol=0.0)

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self) -> int:
        # Equal quantities in different units hash alike: by the value in the kind's base unit,
        # to twelve digits (the tolerance of ==).
        base = {"length": "µm", "angle": "rad"}.get(UNITS.get(self.unit, ""), self.unit)
        return hash((base, float(f"{_plinth.convert(self.value, self.unit, base):.12g}")))

    def __float__(self) -> float:
        if UNITS.get(self.unit) != "length":
            raise TypeError(f"float() of {self!r} is not a length in micrometres; use .to(unit).value")
        return self.um

    def __repr__(self) -> str:
        return f"Quantity({self.value!r}, {self.unit!r})"

    def __str__(self) -> str:
        return f"{self.value:g} {self.unit}".rstrip()

    def __getnewargs__(self):
        return (self.value, self.unit)


QuantityLike = Union[Quantity, float, int, str, tuple]
