"""Stages owned by a stage server (`plinth serve`), reached over gRPC.

    import plinth
    with plinth.connect() as server:          # PLINTH_SERVER, or the user's default socket
        stage = server.stage(1)
        stage.move(x=12.5, y="-3um")
        print(stage.position())

The stages have the methods of the in-process Stage that make sense at a distance: positions,
moves (blocking or started), free runs, stop, limits, the range search, calibration, speeds,
properties by name and every setting listed, Z escape and events. Failures raise the same
PlinthError subclasses; a request the server refuses before anything happens (an unknown axis, a
value that is not finite) raises ValueError, a missing or wrong token PermissionError, no server
ConnectionError.
"""

import os
import threading
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Union

import grpc

from ._events import EventKind
from ._quantity import Quantity
from ._stage import AxisType, Setting, _length_per_second
from .errors import PlinthError, ResultCode, error_for
from .v1 import stage_pb2 as pb
from .v1 import stage_pb2_grpc as pb_grpc

_MAX_MESSAGE = 64 * 1024
_CALL_TIMEOUT = 15.0

AxisKey = Union[str, int, AxisType]


def default_address() -> str:
    """PLINTH_SERVER when set, else the user's socket: $XDG_RUNTIME_DIR/plinth/server.sock, or
    plinth-UID/server.sock in the temporary directory."""
    address = os.environ.get("PLINTH_SERVER")
    if address:
        return address
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    if runtime.startswith("/"):
        return f"unix:{runtime}/plinth/server.sock"
    tmp = os.environ.get("TMPDIR", "")
    return f"unix:{tmp if tmp.startswith('/') else '/tmp'}/plinth-{os.getuid()}/server.sock"


def _target(address: str) -> str:
    if address.startswith("tcp:"):
        return address[4:]
    if address.startswith("/"):
        return "unix:" + address
    return address


def _axis(key: AxisKey) -> str:
    """The axis as the server names it: "X", "Y", "Z" by type (a letter or an AxisType), else its
    number. AxisType is an int too: it is looked at first, as Stage does."""
    if isinstance(key, AxisType):
        return key.name
    return str(key).upper() if isinstance(key, str) else str(int(key))


def _um(value: Any) -> float:
    return Quantity.of(value).to("µm").value


def _key(axis: str) -> AxisKey:
    return axis.lower() if axis in ("X", "Y", "Z") else int(axis)


class RemoteEvent(NamedTuple):
    """An event of a served stage: ``kind`` ("MOVE_STARTED", "MOVE_FINISHED", "POSITION_SAMPLE",
    "LIMITS_CHANGED", ...: the names of `EventKind`, as in process), the stage, the axis ("x", "y", "z", a number, or None for the stage),
    ``result`` (MOVE_FINISHED: ResultCode.OK reached, Stopped, or the failure) and ``position``
    (POSITION_SAMPLE: a Quantity)."""
    kind: str
    stage_id: int
    axis: Optional[AxisKey]
    result: Optional[Union[ResultCode, int]]
    position: Optional[Quantity]


def _event(message: "pb.Event") -> RemoteEvent:
    # The library's own kind names the event, so that a served stage's events read as in process
    # (the interface's RANGE_SEARCH_BEGIN is INIT_RANGES_BEGIN); a kind this client does not know
    # keeps the interface's name.
    try:
        kind = EventKind(message.library_id).name
    except ValueError:
        kind = pb.Event.Kind.Name(message.kind)
    result = None
    if message.kind == pb.Event.MOVE_FINISHED:
        try:
            result = ResultCode(message.result)
        except ValueError:
            result = message.result
    position = Quantity(message.position_um, "µm") if message.kind == pb.Event.POSITION_SAMPLE else None
    return RemoteEvent(kind, message.stage_id, _key(message.axis) if message.axis else None, result, position)


class Server:
    """A connection to a stage server; ``stage(id)`` gives its stages. ``close()`` or the end of a
    ``with`` block closes the connection (moves started through it keep going)."""

    def __init__(self, address: Optional[str] = None, *, token_file: Optional[str] = None):
        self.address = address or default_address()
        token_file = token_file or os.environ.get("PLINTH_TOKEN_FILE")
        self._metadata = ()
        if token_file:
            with open(token_file, encoding="utf-8") as file:
                self._metadata = (("authorization", "Bearer " + file.readline().strip()),)
        self._channel = grpc.insecure_channel(_target(self.address), options=[
            ("grpc.max_receive_message_length", _MAX_MESSAGE), ("grpc.max_send_message_length", _MAX_MESSAGE)])
        self._stub = pb_grpc.StageServiceStub(self._channel)

    def _call(self, name: str, request: Any, operation: str, timeout: Optional[float] = _CALL_TIMEOUT) -> Any:
        try:
            return getattr(self._stub, name)(request, timeout=timeout, metadata=self._metadata)
        except grpc.RpcError as error:
            raise _translate(error, operation) from None

    def stages(self) -> List[int]:
        """The IDs of the stages the server serves."""
        return [s.stage_id for s in self._call("ListStages", pb.ListStagesRequest(), "listing the stages").stages]

    def stage(self, stage_id: int = 1) -> "RemoteStage":
        return RemoteStage(self, stage_id)

    def close(self) -> None:
        self._channel.close()

    def __enter__(self) -> "Server":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<plinth.Server at {self.address}>"


def _translate(error: "grpc.RpcError", operation: str) -> Exception:
    for key, value in error.trailing_metadata() or ():
        if key == "plinth-result":
            return error_for(int(value), operation)
    code = error.code()
    details = f"{operation}: {error.details()}"
    if code in (grpc.StatusCode.INVALID_ARGUMENT, grpc.StatusCode.NOT_FOUND):
        return ValueError(details)
    if code in (grpc.StatusCode.UNAUTHENTICATED, grpc.StatusCode.PERMISSION_DENIED):
        return PermissionError(details)
    if code == grpc.StatusCode.UNAVAILABLE:
        return ConnectionError(details)
    if code == grpc.StatusCode.DEADLINE_EXCEEDED:
        return TimeoutError(details)
    return RuntimeError(details)


class RemoteMove:
    """A move started through the server: ``wait(timeout)``, ``done()`` and ``stop()``."""

    def __init__(self, stage: "RemoteStage"):
        self._stage = stage

    def done(self) -> bool:
        return not self._stage.is_moving()

    def wait(self, timeout: Optional[float] = None) -> bool:
        return self._stage.wait(timeout=timeout)

    def stop(self) -> None:
        self._stage.stop()


class RemoteSubscription:
    """Events of a served stage, delivered to a callable on a thread of the subscription;
    ``close()`` ends it. ``started`` is set once the server has taken the subscription."""

    def __init__(self, server: Server, stage_id: int, callback: Callable[[RemoteEvent], None]):
        self.started = threading.Event()
        self._call = server._stub.Subscribe(pb.SubscribeRequest(stage_id=stage_id), metadata=server._metadata)
        self._thread = threading.Thread(target=self._run, args=(callback,), daemon=True,
                                        name=f"plinth events of stage {stage_id}")
        self._thread.start()
        self._call.initial_metadata()  # the server sends its headers once it has subscribed
        self.started.set()

    def _run(self, callback: Callable[[RemoteEvent], None]) -> None:
        try:
            for message in self._call:
                callback(_event(message))
        except grpc.RpcError:
            pass  # cancelled, or the server went away

    @property
    def open(self) -> bool:
        return self._thread.is_alive()

    def close(self) -> None:
        self._call.cancel()
        if threading.current_thread() is not self._thread:
            self._thread.join()

    def __enter__(self) -> "RemoteSubscription":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class RemoteStage:
    """A stage of a stage server, with the methods of plinth.Stage (positions in Quantity,
    floats are micrometres, axes "x", "y", "z" or numbers)."""

    def __init__(self, server: Server, stage_id: int):
        self.server = server
        self.id = stage_id

    def __repr__(self) -> str:
        return f"<plinth.RemoteStage {self.id} at {self.server.address}>"

    def _req(self, cls: Any, **fields: Any) -> Any:
        return cls(stage_id=self.id, **fields)

    def info(self) -> "pb.StageInfo":
        return self.server._call("GetInfo", self._req(pb.StageRequest), "reading the stage's information")

    def axes(self) -> Dict[AxisKey, int]:
        reply = self.server._call("GetAxes", self._req(pb.StageRequest), "reading the axes")
        return {_key(a.axis): a.number for a in reply.axes}

    @property
    def connected(self) -> bool:
        return self.info().connected

    def position(self, *axes: AxisKey) -> Any:
        """As Stage.position: one axis gives a Quantity, several or none a dict by axis."""
        reply = self.server._call("GetPositions", self._req(pb.StageRequest), "reading the position")
        positions = {_key(v.axis): Quantity(v.value, "µm") for v in reply.positions_um}
        if not axes:
            return positions
        chosen = {a: positions[_key(_axis(a))] for a in axes}
        return next(iter(chosen.values())) if len(axes) == 1 else chosen

    def move(self, targets: Optional[Dict[AxisKey, Any]] = None, /, *, wait: bool = True,
             timeout: Optional[float] = None, **axes: Any) -> Any:
        """As Stage.move; `timeout` (seconds) bounds a blocking move's wait (the move goes on)."""
        values = [pb.AxisValue(axis=_axis(a), value=_um(v)) for a, v in {**(targets or {}), **axes}.items()]
        request = self._req(pb.MoveRequest, targets_um=values, wait=wait)
        self.server._call("Move", request, "moving" if wait else "starting the move", timeout if wait else _CALL_TIMEOUT)
        return None if wait else RemoteMove(self)

    def free_run(self, speeds: Optional[Dict[AxisKey, float]] = None, /, **axes: float) -> RemoteMove:
        values = [pb.AxisValue(axis=_axis(a), value=float(v)) for a, v in {**(speeds or {}), **axes}.items()]
        self.server._call("FreeRun", self._req(pb.FreeRunRequest, speeds=values), "starting the free run")
        return RemoteMove(self)

    def stop(self) -> None:
        self.server._call("Stop", self._req(pb.StageRequest), "stopping")

    def is_moving(self) -> bool:
        try:
            self.server._call("WaitForStop", self._req(pb.WaitRequest, timeout_ms=0), "waiting")
            return False
        except PlinthError as error:
            if error.code == ResultCode.Timeout:
                return True
            raise

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until every axis stands, at most `timeout` seconds; False when the time ran out."""
        timeout_ms = 0xFFFFFFFE if timeout is None else max(0, int(timeout * 1000))
        try:
            self.server._call("WaitForStop", self._req(pb.WaitRequest, timeout_ms=timeout_ms), "waiting", None)
            return True
        except PlinthError as error:
            if error.code == ResultCode.Timeout:
                return False
            raise

    def _limits(self, reply: Any) -> Dict[AxisKey, Any]:
        return {_key(l.axis): (Quantity(l.minimum_um, "µm"), Quantity(l.maximum_um, "µm")) if l.defined else None
                for l in reply.limits}

    def limits(self, axis: AxisKey) -> Any:
        """(minimum, maximum) of an axis as Quantities."""
        found = self._limits(self.server._call("GetLimits", self._req(pb.StageRequest), "reading the limits"))
        value = found.get(_key(_axis(axis)))
        if value is None:
            raise error_for(ResultCode.LimitsNotDefined, "reading the limits")
        return value

    def set_limits(self, axis: AxisKey, minimum: Any, maximum: Any) -> None:
        limits = pb.AxisLimits(axis=_axis(axis), minimum_um=_um(minimum), maximum_um=_um(maximum))
        self.server._call("SetLimits", self._req(pb.SetLimitsRequest, limits=[limits]), "setting the limits")

    def limits_defined(self, axis: Optional[AxisKey] = None) -> bool:
        found = self._limits(self.server._call("GetLimits", self._req(pb.StageRequest), "reading the limits"))
        return all(v is not None for v in found.values()) if axis is None else found.get(_key(_axis(axis))) is not None

    def forget_limits(self, *axes: AxisKey) -> None:
        self.server._call("ClearLimits", self._req(pb.AxesRequest, axes=[_axis(a) for a in axes]),
                          "forgetting the limits")

    def find_limits(self, *axes: AxisKey) -> None:
        """The range search (blocks until done)."""
        self.server._call("FindLimits", self._req(pb.AxesRequest, axes=[_axis(a) for a in axes]),
                          "searching the ranges", None)

    def _values(self, reply: Any, length: bool, axes: tuple) -> Any:
        values = {_key(v.axis): Quantity(v.value, "µm") if length else v.value for v in reply.values}
        if not axes:
            return values
        chosen = {a: values[_key(_axis(a))] for a in axes}
        return next(iter(chosen.values())) if len(axes) == 1 else chosen

    def calibration(self, *axes: AxisKey) -> Any:
        reply = self.server._call("GetCalibration", self._req(pb.StageRequest), "reading the calibration")
        return self._values(reply, True, axes)

    def set_calibration(self, lengths: Optional[Dict[AxisKey, Any]] = None, /, **axes: Any) -> None:
        values = [pb.AxisValue(axis=_axis(a), value=_um(v)) for a, v in {**(lengths or {}), **axes}.items()]
        self.server._call("SetCalibration", self._req(pb.AxisValuesRequest, values=values), "setting the calibration")

    def speeds(self, *axes: AxisKey, unit: Optional[str] = None) -> Any:
        """As Stage.speeds: the stage's unit, or with a length `unit` Quantities per second
        (converted here through the calibrations the server reports)."""
        speeds = self._values(self.server._call("GetSpeeds", self._req(pb.StageRequest), "reading the speeds"),
                              False, ())
        if unit is not None:
            calibration = self.calibration()
            speeds = {a: (calibration[a] * v).to(unit) for a, v in speeds.items()}
        if not axes:
            return speeds
        chosen = {a: speeds[_key(_axis(a))] for a in axes}
        return next(iter(chosen.values())) if len(axes) == 1 else chosen

    def set_speeds(self, speeds: Optional[Dict[AxisKey, Any]] = None, /, **axes: Any) -> None:
        """As Stage.set_speeds: floats in the stage's unit, "5 mm/s" or a Quantity (per second)
        converted here through the calibration the server reports for the axis."""
        entries = {**(speeds or {}), **axes}
        calibration = None
        values = []
        for key, value in entries.items():
            if not isinstance(value, (int, float)):
                if calibration is None:
                    calibration = self.calibration()
                tick = calibration[_key(_axis(key))]
                if tick.value <= 0:
                    raise ValueError(f"the axis {_axis(key)} has no calibration to convert {value!r}")
                value = _length_per_second(value).to("µm").value / tick.to("µm").value
            values.append(pb.AxisValue(axis=_axis(key), value=float(value)))
        self.server._call("SetSpeeds", self._req(pb.AxisValuesRequest, values=values), "setting the speeds")

    @staticmethod
    def _unpack(value: "pb.PropertyValue") -> Any:
        which = value.WhichOneof("value")
        if which == "quantity_value":
            return Quantity(value.quantity_value.value, value.quantity_value.unit or "")
        return getattr(value, which) if which else None

    def get_property(self, prop: str, axis: Optional[AxisKey] = None) -> Any:
        """A property by its registered name, of the stage or of an axis."""
        request = self._req(pb.PropertyRequest, axis="" if axis is None else _axis(axis), name=prop)
        return self._unpack(self.server._call("GetProperty", request, f"reading {prop}"))

    def set_property(self, prop: str, value: Any, axis: Optional[AxisKey] = None) -> Any:
        """Writes a property (not text ones: the server keeps its ports and paths)."""
        if isinstance(value, bool):
            packed = pb.PropertyValue(bool_value=value)
        elif isinstance(value, int):
            packed = pb.PropertyValue(int_value=value)
        elif isinstance(value, Quantity) or (isinstance(value, str) and value[:1].isdigit()):
            quantity = Quantity.of(value)
            packed = pb.PropertyValue(quantity_value=pb.Quantity(value=quantity.value, unit=quantity.unit))
        elif isinstance(value, float):
            packed = pb.PropertyValue(double_value=value)
        else:
            packed = pb.PropertyValue(text_value=str(value))
        request = self._req(pb.PropertyRequest, axis="" if axis is None else _axis(axis), name=prop, value=packed)
        return self._unpack(self.server._call("SetProperty", request, f"writing {prop}"))

    def properties(self, axis: Optional[AxisKey] = None) -> Dict[str, Setting]:
        """As Stage.properties: every registered setting of the stage (axis None) or of an axis
        that the served stage answers, by name, as Setting(value, unit, description)."""
        request = self._req(pb.PropertyListRequest, axis="" if axis is None else _axis(axis))
        reply = self.server._call("ListProperties", request, "listing the properties")
        return {p.name: Setting(self._unpack(p.value), p.unit, p.description) for p in reply.properties}

    def escape_z(self) -> None:
        self.server._call("EscapeZ", self._req(pb.EscapeRequest, escape=True), "escaping Z", None)

    def return_z(self) -> None:
        self.server._call("EscapeZ", self._req(pb.EscapeRequest, escape=False), "returning Z", None)

    def subscribe(self, callback: Callable[[RemoteEvent], None]) -> RemoteSubscription:
        """Calls `callback(event)` with every event of the stage (RemoteEvent) on a thread of the
        subscription, until it is closed."""
        return RemoteSubscription(self.server, self.id, callback)


def connect(address: Optional[str] = None, *, token_file: Optional[str] = None) -> Server:
    """Connects to a stage server: `address` is "unix:PATH", a PATH or "tcp:HOST:PORT" (default:
    PLINTH_SERVER, else the user's socket); `token_file` (or PLINTH_TOKEN_FILE) for TCP."""
    return Server(address, token_file=token_file)
