"""`plinth serve` as a process: clients in other processes share one simulated stage."""
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import plinth
from plinth.errors import ResultCode

PLINTH = os.environ["PLINTH_BIN"]
BOUND_S = 30  # no step of a test waits longer than this


class Server:
    """A `plinth serve` process on a scratch address; its stderr lines are collected."""

    def __init__(self, tmp_path, *args, listen=None, env=None):
        self.env = dict(os.environ, PLINTH_CONFIG=str(tmp_path / "settings.db"), **(env or {}))
        self.env.pop("PLINTH_SERVER", None)
        self.address = listen or f"unix:{tmp_path}/server.sock"
        # Time scale 2: a 40 mm move takes about 4 s, time enough to act in its middle.
        self.process = subprocess.Popen([PLINTH, "--time-scale", "2", "serve", "--listen", self.address, *args],
                                        env=self.env, stderr=subprocess.PIPE, text=True)
        self.lines = []
        self._changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_for_line("listening on")

    def _read(self):
        for line in self.process.stderr:
            sys.stderr.write(line)  # shown with a failing test: what the server said, sanitizer reports too
            with self._changed:
                self.lines.append(line)
                self._changed.notify_all()
        with self._changed:  # the server has ended: a waiter stops waiting for its lines
            self._changed.notify_all()

    def wait_for_line(self, text):
        with self._changed:
            assert self._changed.wait_for(lambda: any(text in l for l in self.lines) or self.process.poll() is not None,
                                          BOUND_S), self.lines
            assert any(text in l for l in self.lines), self.lines

    def run(self, *args, **kwargs):
        return subprocess.Popen([PLINTH, "--server", self.address, *args], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, **kwargs)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(BOUND_S)


@pytest.fixture
def server(tmp_path):
    started = Server(tmp_path)
    stage = plinth.connect(started.address).stage(1)
    stage.set_limits("x", "-50mm", "50mm")
    stage.set_limits("y", "-50mm", "50mm")
    stage.set_limits("z", "0mm", "10mm")
    yield started
    assert started.stop() == 0


class Recorder:
    """Collects the events of a stage (a third client) and lets a test wait for one."""

    def __init__(self, stage):
        self.events = []
        self._changed = threading.Condition()
        self.subscription = stage.subscribe(self._add)

    def _add(self, event):
        with self._changed:
            self.events.append(event)
            self._changed.notify_all()

    def wait_for(self, predicate):
        with self._changed:
            assert self._changed.wait_for(lambda: any(predicate(e) for e in self.events), BOUND_S), self.events
            return next(e for e in self.events if predicate(e))


def kinds(events):
    return [e.kind for e in events if e.kind != "POSITION_SAMPLE"]


def test_a_second_client_stops_the_move_of_a_first_and_a_third_sees_it(server):
    watcher = Recorder(plinth.connect(server.address).stage(1))
    mover = server.run("move", "X=40mm")  # blocking, in another process
    watcher.wait_for(lambda e: e.kind == "POSITION_SAMPLE" and e.position.um > 1000)
    # A position read from yet another process works while the move runs.
    reader = server.run("pos")
    assert reader.wait(BOUND_S) == 0 and "X:" in reader.stdout.read()

    stopped_at = time.monotonic()
    plinth.connect(server.address).stage(1).stop()
    finished = watcher.wait_for(lambda e: e.kind == "MOVE_FINISHED")
    assert time.monotonic() - stopped_at < 0.5
    assert finished.result == ResultCode.Stopped
    assert mover.wait(BOUND_S) != 0 and "Stopped" in mover.stderr.read()

    # Start, samples on the way (at most 20 per second), one final sample, finished.
    events = watcher.events
    assert kinds(events) == ["MOVE_STARTED", "MOVE_FINISHED"]
    samples = [e for e in events if e.kind == "POSITION_SAMPLE" and e.axis == "x"]
    assert len(samples) >= 3
    assert events.index(finished) == len(events) - 1
    last = samples[-1].position.um
    assert 1000 < last < 40000
    assert plinth.connect(server.address).stage(1).position("x").um == pytest.approx(last, abs=1)
    watcher.subscription.close()


def test_a_client_killed_mid_move_leaves_the_move_going_and_the_server_serving(server):
    stage = plinth.connect(server.address).stage(1)
    watcher = Recorder(stage)
    mover = server.run("move", "Y=5mm")
    watcher.wait_for(lambda e: e.kind == "POSITION_SAMPLE")
    mover.send_signal(signal.SIGKILL)
    mover.wait(BOUND_S)
    server.wait_for_line("disconnected")
    # The move was not the killed client's to stop: it arrives.
    assert watcher.wait_for(lambda e: e.kind == "MOVE_FINISHED").result == ResultCode.OK
    assert stage.position("y").um == pytest.approx(5000, abs=1)
    watcher.subscription.close()


def test_speeds_in_lengths_per_second_convert_through_the_calibration_the_server_reports(server):
    # X has 0.1 µm ticks, Y 0.05 µm: the server keeps ticks per second, the command shows mm/s.
    out, err = server.run("speed", "X=5mm/s", "Y=250um/s").communicate(timeout=BOUND_S)
    assert "X: 5 mm/s" in out and "Y: 250 µm/s" in out, err
    stage = plinth.connect(server.address).stage(1)
    assert stage.speeds("x", "y") == {"x": 50000.0, "y": 5000.0}
    stage.set_speeds(y="1 mm/s")
    assert stage.speeds("y") == 20000.0 and stage.speeds("y", unit="mm") == (1.0, "mm")


def test_every_setting_is_listed_through_the_server_as_the_stage_lists_it_in_process(server):
    stage = plinth.connect(server.address).stage(1)
    assert stage.set_property("Speed", 1234.0, axis="y") == 1234
    listed = {}
    for target in ("stage", "Y"):
        out, err = server.run("prop", "list", target).communicate(timeout=BOUND_S)
        listed[target] = out
        settings = stage.properties(None if target == "stage" else "y")
        # The same settings in the same order, each with the value, unit and description shown.
        assert [line.split()[0] for line in out.splitlines()] == list(settings), err
        for line, (name, setting) in zip(out.splitlines(), settings.items()):
            assert setting.description and line.endswith(" " + setting.description)
            assert isinstance(setting, plinth.Setting)
    assert stage.properties("y")["Speed"] == (1234, "ticks/s", "the speed of moves")
    # An AxisType names the axis by its type, as in process, not the axis with its number.
    from plinth._remote import _axis
    assert [_axis(t) for t in (plinth.AxisType.Z, "z", 3)] == ["Z", "Z", "3"]
    assert stage.properties("x")["Speed"].value != 1234
    assert stage.properties("y")["Calibration"].value == plinth.Quantity(0.05, "µm")
    assert stage.properties()["DriverName"].value == "sim" and '"sim"' in listed["stage"]
    assert "Speed" not in stage.properties() and "Calibration" not in listed["stage"]
    # An unknown axis is refused, in one logged line, and changes nothing.
    before = stage.properties("y")
    refused = server.run("prop", "list", "7")
    assert refused.wait(BOUND_S) != 0 and 'no axis "7"' in refused.stderr.read()
    with pytest.raises(ValueError):
        stage.properties(7)
    assert stage.properties("y") == before
    server.wait_for_line("ListProperties from")

    # The listing in process, from the settings the server kept, is the same to the letter.
    assert server.stop() == 0
    for target, out in listed.items():
        local = subprocess.run([PLINTH, "prop", "list", target], env=server.env, capture_output=True, text=True,
                               timeout=BOUND_S)
        assert local.stdout == out, local.stderr


def test_malformed_requests_are_refused_and_nothing_moves(server):
    stage = plinth.connect(server.address).stage(1)
    watcher = Recorder(stage)
    before = stage.position()
    for targets in ({"x": float("nan")}, {"q": 10.0}, {"x": 10.0, 7: 1.0}):
        with pytest.raises(ValueError):
            stage.move(targets, wait=False)
    with pytest.raises(ValueError):
        stage.set_speeds(x=float("inf"))
    with pytest.raises(plinth.errors.TargetOutOfRangeError):
        stage.move(x="60mm")
    stage.move(x=1.0)  # a move whose events come after any the refusals could have caused
    watcher.wait_for(lambda e: e.kind == "MOVE_FINISHED")
    assert kinds(watcher.events) == ["MOVE_STARTED", "MOVE_FINISHED"]
    assert stage.position("y") == before["y"]
    assert sum("failed" in line for line in server.lines) >= 5
    watcher.subscription.close()


def test_tcp_needs_the_token(tmp_path):
    token = tmp_path / "token"
    token.write_text("s3cret-token\n")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    tcp = Server(tmp_path, "--token-file", str(token), listen=f"tcp:127.0.0.1:{port}")
    try:
        with pytest.raises(PermissionError):
            plinth.connect(tcp.address).stage(1).position()
        wrong = tmp_path / "wrong"
        wrong.write_text("s3cret-tokem\n")
        with pytest.raises(PermissionError):
            plinth.connect(tcp.address, token_file=str(wrong)).stage(1).position()
        assert "x" in plinth.connect(tcp.address, token_file=str(token)).stage(1).calibration()
    finally:
        assert tcp.stop() == 0


def test_sigterm_mid_move_stops_it_and_stores_where_it_stopped(tmp_path):
    served = Server(tmp_path)
    stage = plinth.connect(served.address).stage(1)
    for axis in "xyz":
        stage.set_limits(axis, "-5mm" if axis == "z" else "-50mm", "5mm" if axis == "z" else "50mm")
    watcher = Recorder(stage)
    stage.move(x="40mm", wait=False)
    watcher.wait_for(lambda e: e.kind == "POSITION_SAMPLE" and e.position.um > 1000)
    assert served.stop() == 0
    assert not os.path.exists(served.address[5:])
    # The next command, without a server, reads where the stage stopped.
    local = subprocess.run([PLINTH, "pos"], env=served.env, capture_output=True, text=True, timeout=BOUND_S)
    x = float(local.stdout.split("X (axis 1): ")[1].split()[0])
    assert 1000 < x < 40000


def test_a_remembered_zaber_stage_is_served_and_a_second_client_stops_its_move(tmp_path):
    # The emulator at twice real time: the 90 mm move takes about 2.5 s.
    emulator = subprocess.Popen([os.environ["PLINTH_ZABER_EMU"], "--time-scale", "2"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        port = emulator.stdout.readline().strip()
        env = dict(os.environ, PLINTH_CONFIG=str(tmp_path / "settings.db"))
        env.pop("PLINTH_SERVER", None)
        # Used once in process: the settings remember the stage's driver, its port and its limits.
        subprocess.run([PLINTH, "--module", "zaber", "--port", port, "limits", "--init"], env=env, check=True,
                       capture_output=True, timeout=BOUND_S)
        served = Server(tmp_path)  # no --stage
        try:
            assert any("stages 2=zaber;" in line for line in served.lines), served.lines
            stage = plinth.connect(served.address).stage(2)
            watcher = Recorder(stage)
            mover = served.run("--stage", "2", "move", "X=90mm")
            watcher.wait_for(lambda e: e.kind == "POSITION_SAMPLE" and e.axis == "x" and e.position.um > 1000)
            plinth.connect(served.address).stage(2).stop()
            assert watcher.wait_for(lambda e: e.kind == "MOVE_FINISHED").result == ResultCode.Stopped
            assert mover.wait(BOUND_S) != 0 and "Stopped" in mover.stderr.read()
            assert 1000 < stage.position("x").um < 90000
            watcher.subscription.close()
        finally:
            assert served.stop() == 0
    finally:
        emulator.stdin.close()
        emulator.terminate()
        emulator.wait(BOUND_S)
