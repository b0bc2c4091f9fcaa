import itertools

import pytest

import plinth

_ids = itertools.count(100)


@pytest.fixture
def open_stage():
    """Opens simulated stages under fresh IDs (settings never carry over between tests) and
    closes them after the test."""
    stages = []

    def open_(*, scale=50.0, limits=True, **kwargs):
        # The range search (20 s of simulated travel per axis) runs fast; the moves of the test
        # at the time scale asked for.
        stage = plinth.Stage("sim", next(_ids), settings={plinth.SIM_TIME_SCALE: 400.0}, **kwargs)
        stages.append(stage)
        if limits:
            stage.find_limits()
        stage.set_property(plinth.SIM_TIME_SCALE, scale)
        return stage

    yield open_
    for stage in stages:
        stage.close()
