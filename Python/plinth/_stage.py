"""The Stage object: one stage of a driver module, registered and active while it is open."""

import contextlib
import difflib
import numbers
import weakref
from enum import IntEnum
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _plinth
from ._drivers import find_driver, load_driver
from .errors import PlinthError, ResultCode, error_for
from ._events import Event, Subscription
from ._quantity import UNITS, Quantity, QuantityLike

AxisType = IntEnum("AxisType", sorted(_plinth.axis_types.items(), key=lambda kv: kv[1]), module=__name__)
AxisType.__doc__ = "The physical role of an axis: X, Y, Z (NONE: no axis, no type)."

AxisKey = Union[str, int, AxisType]



class Setting(NamedTuple):
    """A setting as Stage.properties() answers it: its value, the unit of a number ("" none) and
    its one-line description from the registration."""
    value: Any
    unit: str
    description: str


_FOREVER_MS = 0xFFFFFFFF
_MAX_STAGE_ID = 0xFFFFFFFF
_NO_VALUE = object()
_open_stages: "weakref.WeakSet[Stage]" = weakref.WeakSet()


def _axis_key(key: AxisKey) -> Tuple[bool, int]:
    """(by type, number): "x", "X" or AxisType.X name an axis by type, an int by its number."""
    if isinstance(key, AxisType):
        return True, int(key)
    if isinstance(key, str):
        try:
            return True, int(AxisType[key.upper()])
        except KeyError:
            raise ValueError(f"no axis type {key!r}; use x, y, z or an axis number") from None
    if isinstance(key, int) and not isinstance(key, bool):
        return False, key
    raise TypeError(f"an axis is x, y, z, an AxisType or an axis number, not {key!r}")


def _split(entries: Dict[AxisKey, Any]) -> Tuple[bool, Dict[int, Any]]:
    """One map keyed by axis type or by axis number (the flat API takes one kind per call)."""
    kinds = set()
    converted = {}
    for key, value in entries.items():
        by_type, number = _axis_key(key)
        kinds.add(by_type)
        converted[number] = value
    if len(kinds) > 1:
        raise ValueError("give the axes of one call either all by type (x, y, z) or all by number")
    return (kinds.pop() if kinds else True), converted


# The refusals of a move that one of its axes explains (Stage._refused_move).
_REFUSALS_NAMING_AN_AXIS = (ResultCode.TargetOutOfRange, ResultCode.LimitsNotDefined, ResultCode.AxisDisabled)


def _readable(length: Quantity) -> str:
    """A length in the largest of m, mm, µm and nm in which it is at least 1: "5 m", "-10 mm"."""
    if UNITS.get(length.unit) != "length" or length.value == 0:
        return f"{length.value:.6g} {length.unit}".rstrip()
    for unit in ("m", "mm", "µm", "nm"):
        shown = length.to(unit)
        if abs(shown.value) >= 1:
            break
    return f"{shown.value:.6g} {shown.unit}"


def _length_per_second(value: Any) -> Quantity:
    """A speed given as "5 mm/s", a Quantity or a (value, unit) pair (the length per second)."""
    if isinstance(value, str):
        text = value.strip()
        if not text.endswith("/s"):
            raise ValueError(f"not a speed: {value!r} (write a length per second, e.g. \"5 mm/s\")")
        return Quantity.parse(text[:-2])
    if isinstance(value, (Quantity, tuple)):
        return Quantity.of(value)
    raise TypeError(f"a speed is a float (driver units), \"5 mm/s\" or a Quantity, not {value!r}")


def _timeout_ms(timeout: Optional[float]) -> int:
    """A time-out in seconds (None: no limit) as the library's milliseconds."""
    if timeout is None:
        return _FOREVER_MS
    if not isinstance(timeout, numbers.Real) or isinstance(timeout, bool):
        raise TypeError(f"a time-out is a number of seconds or None, not {timeout!r}")
    return max(0, min(int(timeout * 1000), _FOREVER_MS - 1))


def _fn(name: str, by_type: bool) -> Callable:
    return getattr(_plinth, name + ("ByType" if by_type else ""))


class Move:
    """A started move or free run: ``wait(timeout)``, ``done()`` and ``stop()``."""

    def __init__(self, stage: "Stage", by_type: bool, axes: List[int]):
        self._stage = stage
        self._by_type = by_type
        self._axes = axes

    def done(self) -> bool:
        """Whether the axes of the move have stopped."""
        return not _fn("IsMoving", self._by_type)(self._stage.id, self._axes)

    def wait(self, timeout: Optional[float] = None) -> Union[bool, ResultCode]:
        """Waits until the axes stand still, at most `timeout` seconds (None: no limit); the GIL
        is released meanwhile, and Ctrl-C stops the stage and raises KeyboardInterrupt. True when
        they stand still, whether the move arrived or a stop ended it, on every driver (where
        they stand tells which; position()); False when the time ran out; other failures raise
        (a stage with strict=False answers the ResultCode instead, ResultCode.OK for a stopped
        move too)."""
        rc = _fn("WaitForStop", self._by_type)(self._stage.id, self._axes, _timeout_ms(timeout))
        if rc == ResultCode.Stopped:
            rc = ResultCode.OK  # some drivers answer a wait that a stop ended so, others OK
        if not self._stage.strict:
            return self._stage._code(rc)
        if rc == ResultCode.Timeout:
            return False
        self._stage._check(rc, "waiting for the move")
        return True

    def stop(self) -> Any:
        """Stops the whole stage: every axis, not only this move's (the library stops a stage as
        one). wait() then answers True."""
        return self._stage.stop()

    def __repr__(self) -> str:
        return f"<plinth.Move of stage {self._stage._id}, axes {self._axes}{' by type' if self._by_type else ''}>"


class VectorAxes:
    """The X/Y table (``stage.xy``) or X/Y/Z (``stage.xyz``) as vectors with one unit.

    Positions, limits and calibrations come back as tuples of Quantity; given values may be
    Quantities, "1mm" texts or floats (micrometres), and are passed in the unit of the first."""

    def __init__(self, stage: "Stage", suffix: str, size: int):
        self._stage = stage
        self._suffix = suffix
        self._size = size

    def _call(self, name: str, *args):
        return getattr(_plinth, name + self._suffix)(self._stage.id, *args)

    def _vector(self, values: Sequence[QuantityLike]) -> Tuple[Tuple[float, ...], str]:
        if len(values) != self._size:
            raise ValueError(f"{self._suffix} takes {self._size} values, got {len(values)}")
        quantities = [Quantity.of(v) for v in values]
        unit = quantities[0].unit
        return tuple(q.to(unit).value for q in quantities), unit

    @staticmethod
    def _quantities(vector) -> Tuple[Quantity, ...]:
        values, unit = vector
        return tuple(Quantity(v, unit) for v in values)

    def position(self) -> Any:
        rc, vector = self._call("GetPosition")
        return self._stage._check(rc, "reading the position", vector and self._quantities(vector))

    def move(self, *position: QuantityLike, wait: bool = True) -> Any:
        vector = self._vector(position)
        rc = self._call("MoveTo", vector, wait)
        operation = "moving" if wait else "starting the move"
        if self._stage.strict and rc in _REFUSALS_NAMING_AN_AXIS:
            values, unit = vector
            operation += self._stage._refused_move(True, {int(t): Quantity(v, unit) for t, v in
                                                          zip((AxisType.X, AxisType.Y, AxisType.Z), values)})
        if not wait:
            types = [int(t) for t in (AxisType.X, AxisType.Y, AxisType.Z)][: self._size]
            return self._stage._check(rc, operation, Move(self._stage, True, types))
        return self._stage._check(rc, operation)

    def limits(self) -> Any:
        rc, minimum, maximum = self._call("GetAxisLimits")
        return self._stage._check(rc, "reading the limits", (self._quantities(minimum), self._quantities(maximum)))

    def set_limits(self, minimum: Sequence[QuantityLike], maximum: Sequence[QuantityLike]) -> Any:
        return self._stage._check(self._call("SetAxisLimits", self._vector(minimum), self._vector(maximum)),
                                  "setting the limits")

    def calibration(self) -> Any:
        rc, vector = self._call("GetCalibration")
        return self._stage._check(rc, "reading the calibration", self._quantities(vector))

    def set_calibration(self, *lengths: QuantityLike) -> Any:
        return self._stage._check(self._call("SetCalibration", self._vector(lengths)), "setting the calibration")

    def speeds(self) -> Any:
        rc, speeds = self._call("GetSpeed")
        return self._stage._check(rc, "reading the speeds", speeds)

    def set_speeds(self, *speeds: float) -> Any:
        return self._stage._check(self._call("SetSpeed", tuple(speeds)), "setting the speeds")

    def free_run(self, *speeds: float) -> Any:
        rc = self._call("MoveFree", tuple(speeds))
        types = [int(t) for t in (AxisType.X, AxisType.Y, AxisType.Z)][: self._size]
        return self._stage._check(rc, "starting the free run", Move(self._stage, True, types))

    def is_moving(self) -> bool:
        return self._call("IsMoving")

    def wait(self, timeout: Optional[float] = None) -> Any:
        rc = self._call("WaitForStop", _timeout_ms(timeout))
        return self._stage._check(ResultCode.OK if rc == ResultCode.Stopped else rc, "waiting for the stage")


class Stage:
    """One stage: a driver module's object registered and activated under a stage ID.

    ``Stage("sim")`` opens the simulated stage, ``Stage("zaber", settings={...})`` a driver by
    short name (found in the installed driver folder, or in PLINTH_DRIVER_PATH),
    ``Stage("/path/libmydriver.so")`` any driver module (a path has a slash: "./libmine.so").
    `stage_id` None takes the lowest ID no stage of this process has (1 for the first); an ID in
    use is refused. `settings` are the driver's own stage settings (property ID or registered
    name to value), written before the driver starts. ``close()`` (or leaving a ``with`` block)
    unregisters the stage; a closed Stage raises on every call (its ID may belong to another
    stage by then). Stages still open when the interpreter exits are stopped and closed then.

    Positions and lengths are Quantity values; a plain float means micrometres. Axes are named
    x, y, z (by type) or given by number. A failing call raises the PlinthError subclass of its
    result code; with ``strict=False`` operations answer their ResultCode instead and queries a
    pair (ResultCode, value or None).

    Blocking calls (moves with wait=True, waits, the range search, Z escape, position storage)
    release the GIL, so other Python threads run meanwhile. On the main thread Ctrl-C interrupts
    them: the stage is stopped, then KeyboardInterrupt propagates.

    A failure's message ends with what the driver last said, when it keeps words
    ("DriverMessage"), e.g. a device's fault flag.
    """

    def __init__(self, driver: str = "sim", stage_id: Optional[int] = None, *, strict: bool = True,
                 settings: Optional[Dict[Union[str, int], Any]] = None):
        self._open = False
        self.strict = strict
        if not isinstance(driver, str):
            raise TypeError(f"a driver is a short name or a module path, not {driver!r}")
        self.driver_path = find_driver(driver)
        self._module = load_driver(self.driver_path)
        if stage_id is None:
            stage_id = next(i for i in range(1, _MAX_STAGE_ID) if not _plinth.IsRegisteredStage(i))
        elif _plinth.IsRegisteredStage(stage_id):
            raise PlinthError(ResultCode.GeneralFailure,
                              f"stage ID {stage_id} is in use (another Stage of this process has it open); "
                              "give another stage_id, or none for a free one")
        self._id = stage_id
        if not _plinth.RegisterStage(self._module, stage_id):
            raise PlinthError(ResultCode.GeneralFailure,
                              f"registering stage {stage_id} with {self.driver_path}: {_plinth.GetRegisterFailure()}")
        try:
            for key, value in (settings or {}).items():
                prop_id, value_type = self._property_type(key, None, None, value, stored=False)
                rc = _plinth.SetDriverSetting(stage_id, prop_id, value_type, value)
                if rc != ResultCode.OK:
                    raise error_for(rc, f"writing driver setting {key!r}")
            if not _plinth.ActivateStage(self._module, stage_id):
                raise PlinthError(ResultCode.GeneralFailure, f"the driver of stage {stage_id} failed to start")
            if _plinth.GetAxisCount(stage_id) == 0:
                # A driver that found no axis and says why (a serial port not set, say) is of no
                # use to any call: its reason is the error, not a stage that answers success.
                found = _plinth.FindProperty("DriverMessage")
                said = _plinth.GetProperty(stage_id, found[1], "text", None, False)[1] if found else None
                if said:
                    _plinth.DeactivateStage(self._module, stage_id)
                    raise PlinthError(ResultCode.GeneralFailure, f"the driver of stage {stage_id} could not start: {said}")
        except BaseException:
            _plinth.UnregisterStage(self._module, stage_id)
            raise
        _plinth.remember_driver(stage_id, self.driver_path)
        self.xy = VectorAxes(self, "XY", 2)
        self.xyz = VectorAxes(self, "XYZ", 3)
        self._open = True
        _open_stages.add(self)

    # Opening and closing.

    @property
    def id(self) -> int:
        """The stage ID. Raises once the stage is closed: every call on a closed Stage does."""
        if not self._open:
            raise error_for(ResultCode.NoSuchStage, f"stage {self._id} was closed; this Stage drives nothing")
        return self._id

    @property
    def active(self) -> bool:
        """Whether the stage is registered and active."""
        return _plinth.IsActiveStage(self.id)

    def deactivate(self) -> None:
        """Takes the stage's upper layers down; the driver object stays registered. Until
        activate() every stage operation answers ResultCode.NoSuchStage."""
        _plinth.DeactivateStage(self._module, self.id)

    def activate(self) -> None:
        """Brings a deactivated stage up again (the driver initialises anew)."""
        if not _plinth.ActivateStage(self._module, self.id):
            raise PlinthError(ResultCode.GeneralFailure, f"the driver of stage {self.id} failed to start")

    def close(self) -> None:
        """Unregisters the stage (its driver stores where the axes stand). A second call does nothing."""
        if getattr(self, "_open", False):
            self._open = False
            _open_stages.discard(self)
            _plinth.UnregisterStage(self._module, self._id)

    def __enter__(self) -> "Stage":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()

    def __repr__(self) -> str:
        closed = "" if getattr(self, "_open", False) else " closed"
        return f"<plinth.Stage {getattr(self, '_id', None)} ({getattr(self, 'driver_path', None)}){closed}>"

    # Answers.

    @staticmethod
    def _code(rc: int) -> Union[ResultCode, int]:
        try:
            return ResultCode(rc)
        except ValueError:
            return rc

    def driver_message(self) -> str:
        """What the driver last said in words ("DriverMessage"; "" when it keeps none)."""
        found = _plinth.FindProperty("DriverMessage")
        if not found:
            return ""
        rc, said = _plinth.GetProperty(self.id, found[1], "text", None, False)
        return said if rc == ResultCode.OK and said else ""

    def _check(self, rc: int, operation: str, value: Any = _NO_VALUE) -> Any:
        if self.strict:
            if rc != ResultCode.OK:
                raise error_for(rc, operation, self.driver_message())
            return None if value is _NO_VALUE else value
        code = self._code(rc)
        if value is _NO_VALUE:
            return code
        return code, (value if rc == ResultCode.OK else None)

    # Axes.

    def axes(self) -> Dict[Union[str, int], int]:
        """Every axis: its type name ("x", "y", "z") or, without a type, its number, to its number."""
        named: Dict[Union[str, int], int] = {}
        for axis in _plinth.GetAxisList(self.id):
            axis_type = _plinth.GetAxisType(self.id, axis)
            name = AxisType(axis_type).name.lower() if axis_type in (1, 2, 3) else axis
            named[axis if name in named else name] = axis
        return named

    def axis_number(self, axis: AxisKey) -> int:
        """The number of an axis given by type or number (-1 when the stage has no such type)."""
        by_type, number = _axis_key(axis)
        return _plinth.GetAxisFromType(self.id, number) if by_type else number

    def axis_enabled(self, axis: AxisKey) -> bool:
        """Whether the axis is enabled ("AxisEnabled"; an axis the stage lacks is not)."""
        return _plinth.IsAxisEnabled(self.id, self.axis_number(axis))

    def enable_axis(self, axis: AxisKey, enabled: bool = True) -> Any:
        """Enables or disables an axis; a disabled axis refuses to move."""
        return self._check(_plinth.EnableAxis(self.id, self.axis_number(axis), enabled), "enabling the axis")

    @property
    def connected(self) -> bool:
        """Whether the driver reaches its hardware."""
        return _plinth.CheckConnection(self.id)

    @property
    def precision(self) -> bool:
        """Precision mode (software backlash, X/Y non-orthogonality correction); settable."""
        return _plinth.IsPrecisionEnabled(self.id)

    @precision.setter
    def precision(self, enabled: bool) -> None:
        self._check(_plinth.EnablePrecision(self.id, enabled), "switching precision mode")

    @property
    def user_control(self) -> bool:
        """Whether the user's own controls (joystick, knobs) are on; settable."""
        return _plinth.IsUserControlEnabled(self.id)

    @user_control.setter
    def user_control(self, enabled: bool) -> None:
        self._check(_plinth.EnableUserControl(self.id, enabled), "switching user control")

    # Positions and moves.

    def _query(self, name: str, axes: Sequence[AxisKey], empty: Any, operation: str, convert: Callable) -> Any:
        if axes:
            by_type, request = _split({axis: empty for axis in axes})
            rc, answer = _fn(name, by_type)(self.id, request, _plinth.GIVEN_AXES)
            keyed = {axis: convert(answer[_axis_key(axis)[1]]) for axis in axes} if rc == ResultCode.OK else None
        else:
            rc, answer = getattr(_plinth, name)(self.id, {}, _plinth.ALL_AXES)
            names = {number: name for name, number in self.axes().items()}
            keyed = {names.get(axis, axis): convert(value) for axis, value in answer.items()}
        if keyed is not None and len(axes) == 1:
            keyed = next(iter(keyed.values()))
        return self._check(rc, operation, keyed)

    def position(self, *axes: AxisKey) -> Any:
        """Where the axes stand: one axis gives a Quantity, several or none (every enabled axis)
        a dict by axis ("x", "y", "z", or the number of an axis without a type)."""
        return self._query("GetPosition", axes, (0.0, "µm"), "reading the position", lambda v: Quantity(*v))

    def move(self, targets: Optional[Dict[AxisKey, QuantityLike]] = None, /, *, wait: bool = True,
             **axes: QuantityLike) -> Any:
        """Moves to ``stage.move(x=12.5, y="-3um")`` or ``stage.move({1: Quantity(2, "mm")})``.

        wait=True returns once the axes stand at the targets; wait=False starts the move and
        returns a Move handle (``wait(timeout)``, ``done()``, ``stop()``)."""
        by_type, request = _split({**(targets or {}), **axes})
        request = {axis: Quantity.of(value) for axis, value in request.items()}
        rc = _fn("MoveTo", by_type)(self.id, request, wait)
        operation = "moving" if wait else "starting the move"
        if self.strict and rc in _REFUSALS_NAMING_AN_AXIS:
            operation += self._refused_move(by_type, request)
        if wait:
            return self._check(rc, operation)
        return self._check(rc, operation, Move(self, by_type, sorted(request)))

    def _refused_move(self, by_type: bool, request: Dict[int, Optional[Quantity]]) -> str:
        """The axis that explains why a move was refused, as the command line says it: ": X: 5 m
        lies outside the limits -10 mm .. 10 mm", ": X: not homed", ": X: the axis is disabled"
        (a target None, as of a free run, is not compared with the limits)."""
        for key, target in sorted(request.items()):
            number = _plinth.GetAxisFromType(self.id, key) if by_type else key
            axis_type = _plinth.GetAxisType(self.id, number)
            name = AxisType(axis_type).name if axis_type in (1, 2, 3) else f"axis {number}"
            if not _plinth.IsAxisEnabled(self.id, number):
                return f": {name}: the axis is disabled"
            rc, minimum, maximum = _plinth.GetAxisLimits(self.id, number)
            if rc == ResultCode.LimitsNotDefined:
                return f": {name}: not homed (run find_limits())"
            if rc == ResultCode.OK and target is not None:
                low, high = Quantity(*minimum), Quantity(*maximum)
                try:
                    outside = target < low or target > high
                except _plinth.IncompatibleUnitsError:
                    outside = True
                if outside:
                    return (f": {name}: {_readable(target)} lies outside the limits "
                            f"{_readable(low)} .. {_readable(high)}")
        return ""

    def free_run(self, speeds: Optional[Dict[AxisKey, float]] = None, /, **axes: float) -> Any:
        """Runs axes at speeds (the driver's unit; the sign is the direction) until stopped or
        at a limit; answers a Move handle."""
        by_type, request = _split({**(speeds or {}), **axes})
        rc = _fn("MoveFree", by_type)(self.id, {axis: float(v) for axis, v in request.items()})
        operation = "starting the free run"
        if self.strict and rc in _REFUSALS_NAMING_AN_AXIS:
            operation += self._refused_move(by_type, dict.fromkeys(request))
        return self._check(rc, operation, Move(self, by_type, sorted(request)))

    def stop(self) -> Any:
        """Stops every axis of the stage."""
        return self._check(_plinth.StopMoving(self.id), "stopping")

    @property
    def last_emulated_move_result(self) -> Union[ResultCode, int]:
        """How the last emulated move went, as a ResultCode (never raised, whatever strict says).

        A driver without a started move of its own gets ``move(..., wait=False)`` and free runs
        as its blocking move on a library thread; the Move handle's wait() then only tells that
        the move ended. This tells how: ResultCode.Busy while it runs, then the driver's answer
        (ResultCode.Stopped when stop() ended it or came before it began), the limits' answer
        when the targets were no longer allowed, GeneralFailure when the driver threw;
        ResultCode.OK while no emulated move has run."""
        return self._code(_plinth.GetLastEmulatedMoveResult(self.id))

    def is_moving(self, *axes: AxisKey) -> bool:
        """Whether any of the axes (default: every axis) is moving."""
        if not axes:
            return _plinth.IsMoving(self.id, _plinth.GetAxisList(self.id))
        by_type, request = _split({axis: None for axis in axes})
        return _fn("IsMoving", by_type)(self.id, sorted(request))

    def wait(self, *axes: AxisKey, timeout: Optional[float] = None) -> Any:
        """Waits until the axes (default: every axis) stand still; see Move.wait."""
        if axes:
            by_type, request = _split({axis: None for axis in axes})
            numbers = sorted(request)
        else:
            by_type, numbers = False, _plinth.GetAxisList(self.id)
        return Move(self, by_type, numbers).wait(timeout)

    # Limits, calibration, speeds.

    def limits(self, axis: AxisKey) -> Any:
        """(minimum, maximum) of an axis as Quantities."""
        by_type, number = _axis_key(axis)
        rc, minimum, maximum = _fn("GetAxisLimits", by_type)(self.id, number)
        return self._check(rc, "reading the limits", (Quantity(*minimum), Quantity(*maximum)))

    def set_limits(self, axis: AxisKey, minimum: QuantityLike, maximum: QuantityLike) -> Any:
        by_type, number = _axis_key(axis)
        rc = _fn("SetAxisLimits", by_type)(self.id, number, Quantity.of(minimum), Quantity.of(maximum))
        return self._check(rc, "setting the limits")

    def limits_defined(self, axis: Optional[AxisKey] = None) -> bool:
        """Whether the axis (default: every enabled axis) has its limits."""
        if axis is None:
            return _plinth.AreLimitsDefinedAll(self.id)
        by_type, number = _axis_key(axis)
        return _fn("AreLimitsDefined", by_type)(self.id, number)

    def forget_limits(self, *axes: AxisKey) -> Any:
        """Forgets the limits of the axes (default: every axis)."""
        if axes:
            by_type, request = _split({axis: None for axis in axes})
            numbers = sorted(request)
        else:
            by_type, numbers = False, _plinth.GetAxisList(self.id)
        return self._check(_fn("UndefineLimits", by_type)(self.id, numbers), "forgetting the limits")

    def find_limits(self, *axes: AxisKey) -> Any:
        """The range search: runs the axes (default: every axis) to their end switches and takes
        those as limits. Blocks until done."""
        numbers = [self.axis_number(a) for a in axes] or _plinth.GetAxisList(self.id)
        return self._check(_plinth.InitRanges(self.id, numbers), "searching the ranges")

    def calibration(self, *axes: AxisKey) -> Any:
        """The length of one tick, per axis (as position())."""
        return self._query("GetCalibration", axes, (0.0, "µm"), "reading the calibration", lambda v: Quantity(*v))

    def set_calibration(self, lengths: Optional[Dict[AxisKey, QuantityLike]] = None, /, **axes: QuantityLike) -> Any:
        by_type, request = _split({**(lengths or {}), **axes})
        rc = _fn("SetCalibration", by_type)(self.id, {a: Quantity.of(v) for a, v in request.items()})
        return self._check(rc, "setting the calibration")

    def speeds(self, *axes: AxisKey, unit: Optional[str] = None) -> Any:
        """The axis speeds (as position()): in the driver's unit (floats, ticks per second for the
        shipped drivers), or with a length `unit` ("mm", "µm") as Quantities of that length per
        second, converted through each axis's calibration."""
        if unit is None:
            return self._query("GetSpeeds", axes, 0.0, "reading the speeds", float)
        if UNITS.get(_plinth.unit_symbol(unit) or "") != "length":
            raise ValueError(f"a speed is shown as a length per second; {unit!r} is no length unit")
        keys = list(axes) or list(self.axes())
        speeds = {}
        for key in keys:
            by_type, number = _axis_key(key)
            rc, per_second = _fn("GetAxisSpeedPerSecond", by_type)(self.id, number)
            if rc != ResultCode.OK:
                return self._check(rc, f"reading the speed of {self._axis_name(key)}")
            speeds[key] = Quantity(*per_second).to(unit)
        return self._check(ResultCode.OK, "reading the speeds", speeds[keys[0]] if len(axes) == 1 else speeds)

    def set_speeds(self, speeds: Optional[Dict[AxisKey, Any]] = None, /, **axes: Any) -> Any:
        """Sets axis speeds: ``set_speeds(x="5 mm/s")``, a Quantity (the length travelled per
        second: ``Quantity(5, "mm")``), or a float in the driver's unit (ticks per second for the
        shipped drivers). A length per second converts through the axis's calibration; one that
        does not convert (no calibration, a unit of another kind) is refused naming the axis."""
        entries = {**(speeds or {}), **axes}
        native = {key: value for key, value in entries.items() if isinstance(value, numbers.Real)}
        by_type, request = _split(native)
        rc = _fn("SetSpeeds", by_type)(self.id, {a: float(v) for a, v in request.items()}) if request else 0
        if request and rc != ResultCode.OK:
            return self._check(rc, "setting the speeds")
        for key, value in entries.items():
            if key in native:
                continue
            per_second = _length_per_second(value)
            by_type, number = _axis_key(key)
            rc = _fn("SetAxisSpeedPerSecond", by_type)(self.id, number, per_second)
            if rc != ResultCode.OK:
                return self._check(rc, f"setting the speed of {self._axis_name(key)} to {per_second}/s"
                                       + self._speed_refusal(by_type, number, per_second, rc))
        return self._check(ResultCode.OK, "setting the speeds")

    def _axis_name(self, key: AxisKey) -> str:
        by_type, number = _axis_key(key)
        return AxisType(number).name if by_type and number in (1, 2, 3) else f"axis {number}"

    def _speed_refusal(self, by_type: bool, number: int, per_second: Quantity, rc: int) -> str:
        """Why an axis refused a speed in a length per second, for the exception's message."""
        if rc != ResultCode.InvalidValue:
            return ""
        code, calibration = _fn("GetCalibration", by_type)(self.id, {number: (0.0, "µm")}, _plinth.GIVEN_AXES)
        length = Quantity(*calibration[number]) if code == ResultCode.OK else None
        if length is None or not length.unit or length.value <= 0:
            return " (the axis has no calibration: set one with set_calibration, or give ticks per second)"
        if UNITS.get(per_second.unit) != UNITS.get(length.unit):
            return f" (the axis takes speeds in {length.unit}/s or another unit of its kind)"
        return ""

    # Typed properties.

    def _property_type(self, prop: Union[str, int], axis: Optional[AxisKey], value_type: Optional[str],
                       value: Any = _NO_VALUE, stored: bool = True) -> Tuple[int, str]:
        info = _plinth.FindProperty(prop)
        if info is None and isinstance(prop, str):
            names = [registered[0] for registered in _plinth.RegisteredProperties()]
            closest = difflib.get_close_matches(prop, names, n=1)
            raise KeyError(f"no setting named {prop!r}" + (f" (did you mean {closest[0]}?)" if closest else ""))
        prop_id = info[1] if info else prop
        if value_type is None and info and info[2]:
            value_type = info[2]
        if value_type is None and stored:
            by_type, number = (False, None) if axis is None else _axis_key(axis)
            rc, found = _plinth.StoredValueType(self.id, prop_id, number, by_type)
            value_type = found or None
        if value_type is None and value is not _NO_VALUE:
            value_type = ("bool" if isinstance(value, bool) else "int" if isinstance(value, int)
                          else "double" if isinstance(value, float) else "text" if isinstance(value, str)
                          else "quantity")
        if value_type is None:
            raise TypeError(f"the value type of property {prop!r} is not known; give value_type=")
        return prop_id, value_type

    def get_property(self, prop: Union[str, int], axis: Optional[AxisKey] = None, *,
                     value_type: Optional[str] = None) -> Any:
        """A stage property (axis None) or axis property by registered name or ID, as it is
        stored (no unit conversion). The value type (int, int64, double, bool, text, quantity)
        comes from the registration or from what is stored, unless given."""
        prop_id, value_type = self._property_type(prop, axis, value_type)
        by_type, number = (False, None) if axis is None else _axis_key(axis)
        rc, value = _plinth.GetProperty(self.id, prop_id, value_type, number, by_type)
        if value_type == "quantity" and value is not None:
            value = Quantity(*value)
        return self._check(rc, f"reading property {prop!r}", value)

    def set_property(self, prop: Union[str, int], value: Any, axis: Optional[AxisKey] = None, *,
                     value_type: Optional[str] = None) -> Any:
        """Writes a stage or axis property; see get_property."""
        prop_id, value_type = self._property_type(prop, axis, value_type, value)
        by_type, number = (False, None) if axis is None else _axis_key(axis)
        if value_type == "quantity":
            value = Quantity.of(value)
        rc = _plinth.SetProperty(self.id, prop_id, value_type, value, number, by_type)
        info = _plinth.FindProperty(prop_id)
        if rc == ResultCode.InvalidValue and info and info[6]:
            # The library refuses a value outside what the registration declares: say what it takes.
            return self._check(rc, f"{info[0]} takes {info[6]}, not {value!r}; nothing was changed")
        return self._check(rc, f"writing property {prop!r}")

    def properties(self, axis: Optional[AxisKey] = None) -> Dict[str, "Setting"]:
        """Every registered setting of the stage (axis None) or of an axis that it holds or has a
        default for, by name: its value (a never written one answers its default), unit and
        description, as `plinth prop list` shows them."""
        level = "stage" if axis is None else "axis"
        by_type, number = (False, None) if axis is None else _axis_key(axis)
        found: Dict[str, Setting] = {}
        for name, prop_id, value_type, scope, unit, description, _ in _plinth.RegisteredProperties():
            if scope not in ("", level) or not value_type:
                continue
            rc, value = _plinth.GetProperty(self.id, prop_id, value_type, number, by_type)
            if rc == ResultCode.OK:
                found[name] = Setting(Quantity(*value) if value_type == "quantity" else value, unit, description)
        return found

    # Z escape and position storage.

    @property
    def escape_enabled(self) -> bool:
        """Whether the Z axis allows escape ("AllowEscape")."""
        return _plinth.IsEscapeEnabled(self.id)

    @property
    def z_is_escaped(self) -> bool:
        """Whether Z is escaped (an outermost escape not yet returned from)."""
        return _plinth.IsEscapedZ(self.id)

    def escape_z(self) -> Any:
        """Moves Z out of the way (nested escapes only count: ResultCode.EscapeCounted)."""
        rc = _plinth.EscapeZ(self.id, True)
        return self._code(rc) if rc == ResultCode.EscapeCounted else self._check(rc, "escaping Z")

    def return_z(self) -> Any:
        """Brings Z back from an escape (an inner return only counts: ResultCode.EscapeCounted)."""
        rc = _plinth.EscapeZ(self.id, False)
        return self._code(rc) if rc == ResultCode.EscapeCounted else self._check(rc, "returning Z")

    @contextlib.contextmanager
    def z_escaped(self) -> Iterator[None]:
        """``with stage.z_escaped(): ...``: Z escaped inside, returned afterwards, also when the
        block raises. Raises (whatever strict says) when the escape or the return fails."""
        rc = _plinth.EscapeZ(self.id, True)
        if rc not in (ResultCode.OK, ResultCode.EscapeCounted):
            raise error_for(rc, "escaping Z")
        try:
            yield
        finally:
            rc = _plinth.EscapeZ(self.id, False)
            if rc not in (ResultCode.OK, ResultCode.EscapeCounted):
                raise error_for(rc, "returning Z")

    @contextlib.contextmanager
    def stored_position(self, axes: str = "xyz") -> Iterator[None]:
        """``with stage.stored_position(): ...``: the X/Y/Z positions (the letters in `axes`)
        are read on entry and moved back to on exit, also when the block raises. Raises
        (whatever strict says) when they cannot be read or restored."""
        mask = sum(bit for letter, bit in _plinth.axis_masks.items() if letter in axes.lower())
        storage = _plinth.PositionStorage(self.id, mask)
        if not storage.IsValid():
            by_type, request = _split({letter: (0.0, "µm") for letter in axes.lower() if letter in "xyz"})
            rc, _ = _plinth.GetPositionByType(self.id, request, _plinth.GIVEN_AXES)
            raise error_for(rc if rc != ResultCode.OK else ResultCode.GeneralFailure, "storing the position")
        try:
            yield
        finally:
            rc = storage.Restore(self.id)
            if rc != ResultCode.OK:
                raise error_for(rc, "restoring the position")

    # Events.

    def subscribe(self, callback: Callable[[Event], None]) -> Subscription:
        """Calls `callback` with every event of this stage until the handle is closed or collected."""
        return Subscription(callback, self.id)


def close_all() -> None:
    """Stops and closes every stage still open (run at interpreter exit): motion under way is
    stopped rather than waited for, also that of blocking calls on other threads."""
    stages = list(_open_stages)
    for stage in stages:
        with contextlib.suppress(Exception):
            _plinth.StopMoving(stage.id)
    for stage in stages:
        with contextlib.suppress(Exception):
            stage.close()
