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

    def open_(*, scale=50.0, limits=True, profile=plinth.SimProfile.FULL, **kwargs):
        # The range search (20 s of simulated travel per axis) runs fast; the moves of the test
        # at the time scale asked for.
        settings = {plinth.SIM_TIME_SCALE: 400.0, plinth.SIM_PROFILE: profile}
        stage = plinth.Stage("sim", next(_ids), settings=settings, **kwargs)
        stages.append(stage)
        if limits:
            stage.find_limits()
        stage.set_property(plinth.SIM_TIME_SCALE, scale)
        return stage

    yield open_
    for stage in stages:
        stage.close()


@pytest.fixture
def stage_id():
    """A stage ID no other test uses."""
    return next(_ids)


@pytest.fixture
def zaber_emulator():
    """plinth-zaber-emu (built beside the tests, PLINTH_ZABER_EMU) in a process of its own, 200
    times faster than real time: yields the path of the pseudo-terminal it serves, and ends it
    after the test, also when the test fails."""
    emulator = subprocess.Popen([os.environ["PLINTH_ZABER_EMU"], "--time-scale", "200"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    try:
        printed = b""
        deadline = time.monotonic() + TIMEOUT_S
        while not printed.endswith(b"\n"):
            ready, _, _ = select.select([emulator.stdout], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(emulator.stdout.fileno(), 256) if ready else b""
            if not chunk:
                pytest.fail(f"plinth-zaber-emu printed no path in time (so far {printed!r})")
            printed += chunk
        yield printed.decode().strip()
    finally:
        emulator.terminate()
        try:
            emulator.wait(TIMEOUT_S)
        except subprocess.TimeoutExpired:
            emulator.kill()
            emulator.wait(TIMEOUT_S)
        emulator.stdout.close()
