"""Plinth for Python: drive motorised microscope stages through the Plinth library.

    import plinth
    with plinth.Stage("sim") as stage:        # the simulated stage; "zaber" or a module path
        stage.find_limits()                   # search the end switches, take them as limits
        stage.move(x=12.5, y=-3)              # micrometres, or Quantity(1, "mm"), or "1mm"
        print(stage.position())               # {'x': Quantity(12.5, 'µm'), ...}

A thin layer over the library's flat API and stage manager (the binding module plinth._plinth,
which mirrors the flat API). Errors raise a PlinthError subclass (plinth.errors.<Code>Error) that
carries the ResultCode and the library's message; Stage(..., strict=False) answers codes instead.
The simulated stage's own settings are in plinth.sim.
"""

import atexit as _atexit

from . import _plinth
from ._drivers import driver_dirs, find_driver
from . import errors
from .errors import PlinthError, ResultCode
from ._events import Event, EventKind, Subscription, subscribe
from ._quantity import UNITS, Quantity
from ._stage import AxisType, Move, Setting, Stage, VectorAxes
from . import sim

__version__: str = _plinth.__version__


def connect(address=None, *, token_file=None):
    """Connects to a stage server (`plinth serve`); see plinth._remote. Needs python3-grpcio and
    python3-protobuf, imported only here."""
    from ._remote import connect as _connect

    return _connect(address, token_file=token_file)


# The public classes show as plinth.<name> in help() and in tracebacks.
for _cls in (AxisType, Event, EventKind, Move, Quantity, Stage, Subscription, VectorAxes):
    _cls.__module__ = __name__
del _cls
IncompatibleUnitsError = _plinth.IncompatibleUnitsError

__all__ = [
    "AxisType", "Event", "EventKind", "IncompatibleUnitsError", "Move", "PlinthError", "Quantity", "ResultCode",
    "Setting", "Stage", "Subscription", "UNITS", "VectorAxes", "connect", "driver_dirs", "errors", "find_driver",
    "sim", "subscribe", "__version__",
]


def _shutdown() -> None:
    # Before the interpreter finalises: no event may reach Python afterwards, and no stage may
    # be left running driver code that calls back into it.
    from . import _events, _stage

    _events.close_all()
    _plinth.close_all_subscriptions()
    _stage.close_all()


_atexit.register(_shutdown)
