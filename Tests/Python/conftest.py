import itertools
import os
import select
import subprocess
import time

import pytest

import plinth

_ids = itertools.count(100)
TIMEOUT_S = 60


@pytest.fixture
def open_stage():
    """Opens simulated stages under fresh IDs (settings never carry over between tests) and
    closes them after the test."""
    stages = []

    def open_(*, scale=50.0, limits=True, profile=plinth.sim.Profile.FULL, **kwargs):
        # The range search (20 s of simulated travel per axis) runs fast; the moves of the test
        # at the time scale asked for.
        settings = {plinth.sim.TIME_SCALE: 400.0, plinth.sim.PROFILE: profile}
        stage = plinth.Stage("sim", next(_ids), settings=settings, **kwargs)
        stages.append(stage)
        if limits:
            stage.find_limits()
        stage.set_property(plinth.sim.TIME_SCALE, scale)
        return stage

    yield open_
    for stage in stages:
        stage.close()


@pytest.fixture
def stage_id():
    """A stage ID no other test uses."""
    return next(_ids)


def _read_until(stream, ending: bytes) -> bytes:
    printed = b""
    deadline = time.monotonic() + TIMEOUT_S
    while not printed.endswith(ending):
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(stream.fileno(), 256) if ready else b""
        if not chunk:
            pytest.fail(f"plinth-zaber-emu did not print {ending!r} in time (so far {printed!r})")
        printed += chunk
    return printed


class Emulator:
    def __init__(self, process, path):
        self.process, self.path = process, path

    def fault(self, line: str) -> None:
        """Types a fault into the emulator and returns once it has read it (a line it does not
        understand, typed after, comes back on its stderr)."""
        self.process.stdin.write(f"{line}\nsync\n".encode())
        self.process.stdin.flush()
        _read_until(self.process.stderr, b"not understood: sync\n")


@pytest.fixture
def zaber_emulator():
    """plinth-zaber-emu (built beside the tests, PLINTH_ZABER_EMU) in a process of its own, 200
    times faster than real time: yields an Emulator (the pseudo-terminal's `path`, `fault()`),
    and ends it after the test, also when the test fails."""
    emulator = subprocess.Popen([os.environ["PLINTH_ZABER_EMU"], "--time-scale", "200"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        yield Emulator(emulator, _read_until(emulator.stdout, b"\n").decode().strip())
    finally:
        emulator.terminate()
        try:
            emulator.wait(TIMEOUT_S)
        except subprocess.TimeoutExpired:
            emulator.kill()
            emulator.wait(TIMEOUT_S)
        for stream in (emulator.stdin, emulator.stdout, emulator.stderr):
            stream.close()
