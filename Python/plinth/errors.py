"""Result codes and the exceptions that carry them.

`ResultCode` and one `PlinthError` subclass per failing code (``plinth.errors.LimitsNotDefinedError``
for ``ResultCode.LimitsNotDefined``, ...) are made from the library's own table of codes, so a
code the library adds appears here without being listed again. (Two of them,
``NotImplementedError`` and ``TimeoutError``, share their names with built-in exceptions: they
live in this module only, never at the top of the package.)
"""

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
    library's words for it and ``operation`` what was being done.
    """

    def __init__(self, code: int, operation: str = ""):
        try:
            code = ResultCode(code)
            name = code.name
        except ValueError:
            name = "driver code"
        self.code = code
        self.meaning = _plinth.result_code_meaning(int(code))
        self.operation = operation
        prefix = f"{operation}: " if operation else ""
        super().__init__(f"{prefix}{name} ({int(code)}): {self.meaning}")


def _error_class(code: ResultCode) -> type:
    doc = f"Raised for ResultCode.{code.name} ({int(code)}): {_plinth.result_code_meaning(int(code))}."
    return type(f"{code.name}Error", (PlinthError,), {"__doc__": doc, "__module__": __name__})


ERROR_CLASSES = {code: _error_class(code) for code in ResultCode if code != ResultCode.OK}
globals().update({cls.__name__: cls for cls in ERROR_CLASSES.values()})
__all__ = ["PlinthError", "ResultCode", "error_for"] + [cls.__name__ for cls in ERROR_CLASSES.values()]


def error_for(code: int, operation: str = "") -> PlinthError:
    """The exception for a failing code: the code's own PlinthError subclass, or PlinthError."""
    cls = ERROR_CLASSES.get(code, PlinthError)
    return cls(code, operation)
