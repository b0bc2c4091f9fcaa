"""Result codes and the exceptions that carry them.

`ResultCode` and one `PlinthError` subclass per failing code (``plinth.errors.LimitsNotDefinedError``
for ``ResultCode.LimitsNotDefined``, ...) are made from the library's own table of codes, so a
code the library adds appears here without being listed again. (Two of them,
``NotImplementedError`` and ``TimeoutError``, share their names with built-in exceptions: they
live in this module only, never at the top of the package, and derive from those built-ins too,
so that ``except TimeoutError:`` catches a time-out of the library.)
"""

import builtins
from enum import IntEnum

from . import _plinth

ResultCode = IntEnum(
    "ResultCode", [(name, code) for name, code, _ in _plinth.result_codes()], module=__name__
)
ResultCode.__doc__ = """The result codes of the library; ResultCode.OK (4000) is success.

A driver may answer codes of its own; those are kept as plain ints."""


class PlinthError(Exception):
    """A failure the library reported as a result code.

    ``code`` is the code (a ResultCode, or a plain int for a driver's own code), ``meaning`` the
    library's words for it, ``operation`` what was being done and ``driver_message`` what the
    driver said about it in its own words ("" when nothing), also at the end of the message.
    """

    def __init__(self, code: int, operation: str = "", driver_message: str = ""):
        try:
            code = ResultCode(code)
            name = code.name
        except ValueError:
            name = "driver code"
        self.code = code
        self.meaning = _plinth.result_code_meaning(int(code))
        self.operation = operation
        self.driver_message = driver_message
        prefix = f"{operation}: " if operation else ""
        said = f" [{driver_message}]" if driver_message else ""
        super().__init__(f"{prefix}{name} ({int(code)}): {self.meaning}{said}")

    def __str__(self) -> str:
        # The built-in bases (OSError for TimeoutError) would format their arguments their way.
        return str(self.args[0]) if self.args else ""


# The built-in exception that a code's class derives from as well, where one means the same.
_BUILTIN_BASES = {"Timeout": builtins.TimeoutError, "NotImplemented": builtins.NotImplementedError}


def _error_class(code: ResultCode) -> type:
    doc = f"Raised for ResultCode.{code.name} ({int(code)}): {_plinth.result_code_meaning(int(code))}."
    bases = (PlinthError,) + ((_BUILTIN_BASES[code.name],) if code.name in _BUILTIN_BASES else ())
    return type(f"{code.name}Error", bases, {"__doc__": doc, "__module__": __name__})


ERROR_CLASSES = {code: _error_class(code) for code in ResultCode if code != ResultCode.OK}
globals().update({cls.__name__: cls for cls in ERROR_CLASSES.values()})
__all__ = ["PlinthError", "ResultCode", "error_for"] + [cls.__name__ for cls in ERROR_CLASSES.values()]


def error_for(code: int, operation: str = "", driver_message: str = "") -> PlinthError:
    """The exception for a failing code: the code's own PlinthError subclass, or PlinthError."""
    cls = ERROR_CLASSES.get(code, PlinthError)
    return cls(code, operation, driver_message)
