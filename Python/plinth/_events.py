"""Stage events delivered to Python callables."""

import weakref
from enum import IntEnum
from typing import Callable, NamedTuple, Optional, Union

from . import _plinth
from ._quantity import Quantity
from .errors import ResultCode

EventKind = IntEnum("EventKind", sorted(_plinth.event_kinds.items(), key=lambda kv: kv[1]), module=__name__)
EventKind.__doc__ = "What a stage event announces."


class Event(NamedTuple):
    """One stage event: its kind, the stage, and the axis number (-1 for the whole stage); for
    MOVE_FINISHED also ``result`` (ResultCode.OK reached, Stopped, or the failure), for
    POSITION_SAMPLE ``position`` (a Quantity in the axis's unit). The kinds are named as the
    events of a served stage (`RemoteEvent.kind`)."""

    kind: int
    stage_id: int
    axis: int
    result: Optional[Union[ResultCode, int]] = None
    position: Optional[Quantity] = None


_open: "weakref.WeakSet[Subscription]" = weakref.WeakSet()


class Subscription:
    """A subscription of a callable to stage events; ``close()`` ends it, and so does its collection.

    The callable gets one `Event`. It runs on the thread that caused the event (often a thread of
    the library or of a driver, never while this thread holds the GIL for another purpose), with
    the GIL held; keep it short. An exception it raises is reported through sys.unraisablehook and
    does not reach the library. Usable as a context manager.
    """

    def __init__(self, callback: Callable[[Event], None], stage_id: Optional[int] = None):
        def deliver(kind: int, stage: int, axis: int, result: int, position: float, unit: str) -> None:
            try:
                kind = EventKind(kind)
            except ValueError:
                pass
            code: Optional[Union[ResultCode, int]] = None
            if kind == EventKind.MOVE_FINISHED:
                try:
                    code = ResultCode(result)
                except ValueError:
                    code = result
            sample = Quantity(position, unit) if kind == EventKind.POSITION_SAMPLE else None
            callback(Event(kind, stage, axis, code, sample))

        # The handle never appears in `deliver`: the binding holds `deliver`, and a reference back
        # would keep the handle from being collected.
        self._subscription = _plinth.Subscription(deliver, -1 if stage_id is None else stage_id, details=True)
        _open.add(self)

    @property
    def open(self) -> bool:
        """Whether events still arrive."""
        return self._subscription.open

    def close(self) -> None:
        """Ends the subscription. Once it returns, the callable runs no more and is not running
        on another thread (unless the callable itself closes its own subscription)."""
        self._subscription.close()

    def __enter__(self) -> "Subscription":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def subscribe(callback: Callable[[Event], None], stage_id: Optional[int] = None) -> Subscription:
    """Calls `callback` with every stage event (of stage `stage_id` only, when given)."""
    return Subscription(callback, stage_id)


def close_all() -> None:
    for subscription in list(_open):
        subscription.close()
