"""Settings of the simulated stage's driver ("sim"), e.g.

    plinth.Stage("sim", settings={plinth.sim.TIME_SCALE: 50.0})   # 50 times faster than real time

The settings are the names the driver registers them under ("SimTimeScale", "SimProfile"), so
this package needs nothing from the driver but its documented setting names and profile values.
"""

from enum import IntEnum


class Profile(IntEnum):
    """Which kind of controller the simulated stage pretends to be (setting PROFILE); the values
    are the ones the driver documents for its "SimProfile" setting."""
    FULL = 0
    BLOCKING_ONLY = 1
    STARTED_ONLY = 2


#: The setting "SimProfile" (a Profile).
PROFILE: str = "SimProfile"
#: The setting "SimTimeScale" (how many times faster than real time the stage runs; 10 by default).
TIME_SCALE: str = "SimTimeScale"

__all__ = ["PROFILE", "Profile", "TIME_SCALE"]
