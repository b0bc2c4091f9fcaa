"""The Python package against the simulated stage (X 0.1 µm, Y 0.05 µm, Z 0.01 µm per tick)."""

import _thread
import gc
import os
import queue
import re
import subprocess
import sys
import threading

import pytest

import plinth
from plinth import Quantity, ResultCode

import _plinth_testhelp

TIMEOUT_S = 60


def test_moves_positions_and_settings_in_physical_units(open_stage):
    stage = open_stage()
    stage.move(x=Quantity(1.5, "mm"), y=-3, z="250nm")
    assert stage.position() == {"x": (1500.0, "µm"), "y": (-3.0, "µm"), "z": (0.25, "µm")}
    assert stage.position("x").to("mm") == (1.5, "mm")

    # Axis numbers, the X/Y vector form (one unit, that of X), limits and calibration.
    stage.move({2: Quantity(0.5, "mm")})
    assert stage.position(plinth.AxisType.Y) == (500.0, "µm")
    stage.xy.move("2mm", 250)
    assert stage.xy.position() == ((2000.0, "µm"), (250.0, "µm"))
    assert stage.limits("z") == ((0.0, "µm"), (10000.0, "µm"))
    assert stage.calibration("x", "y") == {"x": (0.1, "µm"), "y": (0.05, "µm")}

    # Typed properties by name or ID, and the driver's own settings (given at opening).
    assert stage.get_property(plinth.sim.TIME_SCALE) == 50.0
    stage.set_property("Speed", 20000.0, "x")
    assert stage.speeds("x") == 20000.0
    assert stage.get_property("AxisType", 3) == int(plinth.AxisType.Z)


def test_zaber_stage_on_the_emulator_with_its_port_given_by_name(zaber_emulator, stage_id):
    # Without a port the driver finds no axis and says why: that is the error, not a stage.
    with pytest.raises(plinth.PlinthError, match="no serial port"):
        plinth.Stage("zaber", stage_id)
    # The driver's own settings go by the names the driver registers; none is listed in Python.
    with plinth.Stage("zaber", stage_id, settings={"ZaberPort": zaber_emulator.path}) as stage:
        assert stage.get_property("ZaberPort") == zaber_emulator.path
        stage.find_limits()
        assert stage.limits("x") == ((0.0, "µm"), (100000.0, "µm"))
        stage.move(x=Quantity(1.5, "mm"))
        assert stage.position("x") == (1500.0, "µm")
        # What the device complained about reaches the exception in the driver's words.
        zaber_emulator.fault("stall 1 1")
        with pytest.raises(plinth.PlinthError, match=r"\[.*FS.*stalled") as raised:
            stage.move(x="50mm")
        assert raised.value.code == 4100 and "stalled" in raised.value.driver_message


def test_speeds_are_lengths_per_second_through_each_axis_calibration(open_stage):
    stage = open_stage()
    # X has 0.1 µm ticks, Y 0.05 µm: the driver's "Speed" (ticks per second) shows the conversion.
    stage.set_speeds(x="5 mm/s", y=Quantity(250, "µm"))
    assert stage.get_property("Speed", "x") == 50000.0 and stage.get_property("Speed", "y") == 5000.0
    assert stage.speeds("x", unit="mm") == (5.0, "mm")
    assert stage.speeds(unit="µm")["y"] == (250.0, "µm")
    stage.set_speeds(z=30000.0)  # a float stays in the driver's unit
    assert stage.speeds("z") == 30000.0 and stage.speeds("z", unit="µm") == (300.0, "µm")
    # A speed that does not convert is refused naming the axis; a length alone is no speed.
    with pytest.raises(plinth.PlinthError, match=r"speed of X .*takes speeds in µm/s"):
        stage.set_speeds(x="5 deg/s")
    with pytest.raises(ValueError, match="not a speed"):
        stage.set_speeds(x="5 mm")


def test_settings_by_name_answer_defaults_describe_themselves_and_refuse_undeclared_values(open_stage):
    stage = open_stage(limits=False)
    # Never written, a setting answers its declared default, by name and in the list.
    assert stage.get_property("PrecisionEnabled") is False
    assert stage.get_property("OffsetSWBL", "x") == 0
    with pytest.raises(plinth.PlinthError):  # a stage setting, not an axis's
        stage.get_property("PrecisionEnabled", "x")
    settings = stage.properties()
    assert settings["PrecisionEnabled"] == (False, "", settings["PrecisionEnabled"].description)
    assert "precision" in settings["BacklashEnable"].description
    assert settings["SimTimeScale"].value == 50.0 and "faster than real time" in settings["SimTimeScale"].description
    assert "Calibration" not in settings
    assert stage.properties("y")["Calibration"].value == (0.05, "µm")
    assert stage.properties("x")["Speed"].unit == "ticks/s"
    assert stage.get_property("DriverName") == "sim"  # remembered for plinth serve

    # Outside the declared range or values: refused, naming the setting and what it takes; nothing changes.
    for name, value, takes in (("SimTimeScale", 0.0, "1e-06 .. 1e+06"), ("SimProfile", 3, "one of 0, 1, 2")):
        before = stage.get_property(name)
        with pytest.raises(plinth.errors.InvalidValueError, match=re.escape(f"{name} takes {takes}, not {value}")):
            stage.set_property(name, value)
        assert stage.get_property(name) == before
    with pytest.raises(KeyError, match="did you mean Speed"):
        stage.get_property("Sped", "x")


def test_errors_raise_by_default_and_answer_codes_when_not_strict(open_stage):
    stage = open_stage()
    with pytest.raises(plinth.errors.TargetOutOfRangeError) as raised:
        stage.move(x="60mm")
    assert isinstance(raised.value, plinth.PlinthError)
    assert raised.value.code is ResultCode.TargetOutOfRange
    assert "outside the axis limits" in str(raised.value)
    # Every refusal of a move names the axis: the target and limits in units a person reads.
    with pytest.raises(plinth.errors.TargetOutOfRangeError, match=r"X: 5 m lies outside the limits -50 mm \.\. 50 mm"):
        stage.move(x="5 m")
    stage.enable_axis("y", False)
    with pytest.raises(plinth.PlinthError, match="Y: the axis is disabled"):
        stage.move(x="1cm", y=0)
    stage.enable_axis("y")
    with pytest.raises(plinth.errors.TargetOutOfRangeError, match=r"Y: -60 mm lies outside the limits -50 mm"):
        stage.xy.move("1mm", "-6cm")
    stage.forget_limits("z")
    with pytest.raises(plinth.errors.LimitsNotDefinedError, match="Z: not homed"):
        stage.move(z="2um")
    with pytest.raises(plinth.errors.LimitsNotDefinedError, match="starting the free run: Z: not homed"):
        stage.free_run(z=100.0)
    with pytest.raises(plinth.IncompatibleUnitsError):
        stage.move(x=Quantity(1, "deg"))
    # A value of the wrong type is a TypeError, wherever it is converted.
    for wrong in (lambda: stage.set_property("Speed", "fast", "x"), lambda: stage.wait(timeout="1"),
                  lambda: plinth.Stage("sim", settings={"SimTimeScale": "fast"}), lambda: stage.move(x=[1])):
        with pytest.raises(TypeError):
            wrong()
    assert issubclass(plinth.errors.TimeoutError, TimeoutError)
    assert issubclass(plinth.errors.NotImplementedError, NotImplementedError)

    lenient = open_stage(strict=False, limits=False)
    assert lenient.move(x=10) is ResultCode.LimitsNotDefined
    assert lenient.position("x") == (ResultCode.LimitsNotDefined, None)
    assert lenient.find_limits() is ResultCode.OK
    assert lenient.move(x=10) is ResultCode.OK
    assert lenient.position("x") == (ResultCode.OK, (10.0, "µm"))
    lenient.deactivate()
    assert lenient.move(x=20) is ResultCode.NoSuchStage
    lenient.activate()
    assert lenient.position("x")[0] is ResultCode.OK
    # The codes come from the library's own table, the newest ones included.
    assert (ResultCode.InvalidValue, ResultCode.Stopped) == (4020, 4021)


def test_started_move_is_awaited_or_stopped_from_python(open_stage):
    stage = open_stage(scale=1.0)
    move = stage.move(x="40mm", wait=False)  # 8 s at 5 mm/s
    assert not move.done()
    assert move.wait(0) is False
    move.stop()
    assert move.wait(TIMEOUT_S) is True and move.done()
    stopped_at = stage.position("x")
    assert Quantity(0, "mm") <= stopped_at < Quantity(40, "mm")

    move = stage.move(x=stopped_at + Quantity(0.2, "mm"), wait=False)
    assert move.wait(TIMEOUT_S) is True
    assert stage.position("x").isclose(stopped_at + Quantity(0.2, "mm"), abs_tol=0.1)

    # A driver without a started move: the library runs its blocking move on a worker, and only
    # the stage can tell that the move was stopped rather than arrived.
    blocking = open_stage(scale=1.0, profile=plinth.sim.Profile.BLOCKING_ONLY)
    move = blocking.move(x="40mm", wait=False)
    running = blocking.last_emulated_move_result
    move.stop()
    assert (running, move.wait(TIMEOUT_S), blocking.last_emulated_move_result) == (
        ResultCode.Busy, True, ResultCode.Stopped)

    # A stop seen by wait() alone (another caller stopped the stage) reads the same on every driver.
    for profile in plinth.sim.Profile:
        other = open_stage(scale=1.0, profile=profile)
        move = other.move(y="40mm", wait=False)
        other.stop()
        assert move.wait(TIMEOUT_S) is True, profile


def test_ctrl_c_stops_blocking_calls_before_it_propagates(open_stage):
    # At a fifth of real time each call below would block for 40 s or more.
    stage = open_stage(scale=0.2)
    calls = {"blocking move": lambda: stage.move(x="40mm"),
             "wait for a started move": lambda: stage.move(y="40mm", wait=False).wait(),
             "range search": lambda: stage.find_limits("z")}
    for name, call in calls.items():
        threading.Timer(0.2, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            call()
        assert not stage.is_moving(), name
    assert stage.position("x") < Quantity(40, "mm") and stage.position("y") < Quantity(40, "mm")


def test_a_closed_stage_refuses_every_call_even_when_closed_from_its_own_event(open_stage, stage_id):
    # Closed by its own subscriber while its range search runs: the search ends on the stage it
    # holds, and the Stage object refuses from then on, also once another stage has its ID.
    stage = open_stage(limits=False)
    number = stage.id
    subscription = stage.subscribe(lambda event: stage.close())
    stage.find_limits("x")
    subscription.close()
    successor = plinth.Stage("sim", number, settings={plinth.sim.TIME_SCALE: 400.0})
    try:
        for call in (lambda: stage.move(x=3000), stage.position, stage.stop, lambda: stage.xy.move(1, 2)):
            with pytest.raises(plinth.errors.NoSuchStageError, match="closed"):
                call()
        assert successor.position("x") == (0.0, "µm")
    finally:
        successor.close()


def test_blocking_motion_lets_other_python_threads_run(open_stage):
    # The range search is a blocking motion that fires its begin and end events from inside the
    # call. They go straight into a SimpleQueue (put is C code: delivery runs no bytecode that
    # could hand the GIL over). Were the GIL held during the search, this thread would get past
    # its wait for the begin event only after the call had returned, end event included.
    stage = open_stage(scale=20.0, limits=False)  # about 1 s for the X search
    events = queue.SimpleQueue()
    subscription = plinth._plinth.Subscription(events.put, stage.id)
    thread = threading.Thread(target=stage.find_limits, args=("x",))
    thread.start()
    assert events.get(timeout=TIMEOUT_S) == plinth.EventKind.INIT_RANGES_BEGIN
    events.put("python ran")
    thread.join(TIMEOUT_S)
    subscription.close()
    assert not thread.is_alive()
    drained = []
    while not events.empty():
        drained.append(events.get_nowait())
    order = [item for item in drained if item in ("python ran", plinth.EventKind.INIT_RANGES_END)]
    assert order == ["python ran", plinth.EventKind.INIT_RANGES_END]
    assert stage.limits("x") == ((-50000.0, "µm"), (50000.0, "µm"))


def test_events_reach_callables_from_any_thread_until_closed_or_collected(open_stage):
    stage = open_stage()
    x_axis = stage.axis_number("x")
    received = []
    subscription = stage.subscribe(lambda event: received.append((event, threading.get_ident())))

    stage.set_limits("x", "-10mm", "10mm")
    assert received[-1] == (plinth.Event(plinth.EventKind.LIMITS_CHANGED, stage.id, x_axis), threading.get_ident())

    # From a thread Python has never seen, as the library's and drivers' threads fire them.
    rc, native_thread = _plinth_testhelp.undefine_limits_on_native_thread(stage.id, [x_axis])
    assert rc == ResultCode.OK
    assert received[-1] == (plinth.Event(plinth.EventKind.LIMITS_CHANGED, stage.id, x_axis), native_thread)
    assert native_thread != threading.get_ident()

    # A failing callable is reported, never raised into the library.
    reported = []
    previous_hook, sys.unraisablehook = sys.unraisablehook, reported.append
    try:
        with stage.subscribe(lambda event: 1 / 0):
            stage.set_limits("x", "-10mm", "10mm")
    finally:
        sys.unraisablehook = previous_hook
    assert reported and all(report.exc_type is ZeroDivisionError for report in reported)

    subscription.close()
    count = len(received)
    stage.forget_limits("x")
    late = []
    plinth.subscribe(late.append, stage.id)  # not kept: collected at once
    gc.collect()
    stage.set_limits("x", "-10mm", "10mm")
    assert len(received) == count and late == []


def test_move_events_carry_their_outcome_and_samples(open_stage):
    stage = open_stage(scale=1.0)
    x_axis = stage.axis_number("x")
    events = queue.SimpleQueue()
    with stage.subscribe(events.put):
        stage.move(x="1mm", wait=False)
        seen = [events.get(timeout=TIMEOUT_S)]
        while seen[-1].kind != plinth.EventKind.MOVE_FINISHED:
            seen.append(events.get(timeout=TIMEOUT_S))
    assert seen[0] == (plinth.EventKind.MOVE_STARTED, stage.id, -1, None, None)
    assert seen[-1].result == ResultCode.OK
    samples = [e.position for e in seen if e.kind == plinth.EventKind.POSITION_SAMPLE and e.axis == x_axis]
    assert len(samples) >= 2 and samples[-1] == (1000.0, "µm")
    assert all(isinstance(e.kind, plinth.EventKind) for e in seen)


def test_stored_position_and_z_escape_restore_when_the_block_raises(open_stage):
    stage = open_stage()
    stage.move(x="1mm", y="2mm", z="5mm")
    with pytest.raises(RuntimeError):
        with stage.stored_position():
            stage.move(x="-4mm", y="3mm")
            raise RuntimeError("interrupted")
    assert stage.xy.position() == ((1000.0, "µm"), (2000.0, "µm"))

    with pytest.raises(RuntimeError):
        with stage.z_escaped():
            assert stage.z_is_escaped
            assert stage.position("z") == (2000.0, "µm")  # 3 mm down at most
            raise RuntimeError("interrupted")
    assert not stage.z_is_escaped
    assert stage.position("z") == (5000.0, "µm")


def _run(args, **kwargs):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=TIMEOUT_S,
                          env=os.environ, **kwargs)


def test_quantities_compare_across_units_and_float_means_micrometres():
    assert Quantity(1, "mm") == Quantity(1000, "µm") and Quantity(0.1, "mm") == "100um"
    assert Quantity(1, "mm") != Quantity(1, "µm") and Quantity(1, "mm") != Quantity(1, "deg")
    assert len({Quantity(1, "mm"), Quantity(1000, "µm"), Quantity(1e6, "nm")}) == 1
    assert Quantity.parse("2cm") == Quantity(0.02, "m") == Quantity(20, "mm")
    assert float(Quantity(1.5, "mm")) == 1500.0
    with pytest.raises(TypeError):
        float(Quantity(1, "deg"))


def test_drivers_come_from_named_folders_and_stage_ids_do_not_collide(tmp_path, monkeypatch):
    # A short name is never a file of the current directory, nor found in the build tree unless
    # named; a path (with a slash) is.
    (tmp_path / "foo.so").write_bytes(b"not a module")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError):
        plinth.Stage("foo.so")
    with pytest.raises(ImportError):
        plinth.Stage("./foo.so")
    monkeypatch.delenv("PLINTH_DRIVER_PATH")
    with pytest.raises(FileNotFoundError):
        plinth.find_driver("sim")
    # Names resolve through the library's registry: an unknown one is told the known names.
    with pytest.raises(FileNotFoundError, match="known: sim, zaber, asi"):
        plinth.find_driver("nosuch")
    monkeypatch.undo()

    # Stages opened without an ID take free ones; an ID in use is refused by number.
    with plinth.Stage("sim") as first, plinth.Stage("sim") as second:
        assert first.id != second.id
        with pytest.raises(plinth.PlinthError, match=f"stage ID {first.id} is in use"):
            plinth.Stage("sim", first.id)


def test_interpreter_exits_cleanly_with_stages_active():
    # Stages left open with moves under way (one on the library's worker thread, one blocking a
    # daemon thread), subscriptions left open, a native thread that keeps firing events and a
    # daemon thread that keeps calling while the interpreter shuts down.
    script = """
import threading, plinth, _plinth_testhelp
full = plinth.Stage("sim", 1, settings={plinth.sim.TIME_SCALE: 400.0})
blocking = plinth.Stage("sim", 2, settings={plinth.sim.TIME_SCALE: 400.0,
                                            plinth.sim.PROFILE: plinth.sim.Profile.BLOCKING_ONLY})
arrived = threading.Event()
kept = [plinth.subscribe(lambda event: arrived.set())]
for stage in (full, blocking):
    stage.find_limits()
    stage.set_property(plinth.sim.TIME_SCALE, 0.5)
    kept.append(stage.subscribe(print))
full.move(x="40mm", wait=False)
blocking.move(x="1mm", wait=False)
# A daemon thread in a blocking move of minutes (stopped at exit, not waited for), and one that
# keeps calling in (it must not be ended inside a call when the interpreter finalises).
slow = plinth.Stage("sim", 3, settings={plinth.sim.TIME_SCALE: 400.0})
slow.find_limits()
slow.set_property(plinth.sim.TIME_SCALE, 0.01)
threading.Thread(target=slow.move, kwargs={"y": "40mm"}, daemon=True).start()
threading.Thread(target=lambda: [full.is_moving() for _ in iter(int, 1)], daemon=True).start()
arrived.clear()
_plinth_testhelp.fire_events_until_exit(full.id)
assert arrived.wait(30)
print("end of script")
"""
    result = _run(["-c", script])
    assert result.returncode == 0, result.stderr
    assert "end of script" in result.stdout
