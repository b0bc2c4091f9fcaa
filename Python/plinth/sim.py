"""Settings of the simulated stage's driver ("sim"), e.g.

    plinth.Stage("sim", settings={plinth.sim.TIME_SCALE: 50.0})   # 50 times faster than real time

The same settings go by their registered names too ("SimTimeScale", "SimProfile").
"""

from enum import IntEnum

from . import _plinth

Profile = IntEnum("Profile", sorted(_plinth.sim_profiles.items(), key=lambda kv: kv[1]), module=__name__)
Profile.__doc__ = "Which kind of controller the simulated stage pretends to be (setting PROFILE)."

#: The ID of the setting "SimProfile" (a Profile).
PROFILE: int = _plinth.sim_settings["PROFILE"]
#: The ID of the setting "SimTimeScale" (how many times faster than real time the stage runs).
TIME_SCALE: int = _plinth.sim_settings["TIME_SCALE"]

__all__ = ["PROFILE", "Profile", "TIME_SCALE"]
