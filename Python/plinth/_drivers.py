"""Finding and loading driver modules."""

import os
from typing import Dict, List

from . import _plinth

# Short names whose module is not simply libplinth_<name>.so.
_MODULE_NAMES = {"sim": "simstage"}

_loaded: Dict[str, int] = {}


def driver_dirs() -> List[str]:
    """Where short driver names are looked up, in order: the directories in the environment
    variable PLINTH_DRIVER_PATH, then <libdir>/plinth/drivers beside the library that the package
    uses. Never the current directory, never a build tree (a package used from its build tree
    finds its drivers through PLINTH_DRIVER_PATH)."""
    dirs = [d for d in os.environ.get("PLINTH_DRIVER_PATH", "").split(os.pathsep) if os.path.isabs(d)]
    library = _plinth.library_path()
    if library:
        dirs.append(os.path.join(os.path.dirname(os.path.realpath(library)), "plinth", "drivers"))
    return dirs


def find_driver(driver: str) -> str:
    """The path of a driver module. `driver` containing a slash is a path ("./libmine.so",
    "/opt/x/libplinth_y.so"); otherwise it is a short name ("sim", "zaber": the module
    libplinth_<name>.so, looked up in driver_dirs() only)."""
    if "/" in driver:
        if not os.path.isfile(driver):
            raise FileNotFoundError(f"no driver module {driver}")
        return os.path.abspath(driver)
    if not driver or driver in (".", ".."):
        raise ValueError(f"not a driver name: {driver!r}")
    filename = f"libplinth_{_MODULE_NAMES.get(driver, driver)}.so"
    searched = driver_dirs()
    for directory in searched:
        candidate = os.path.join(directory, filename)
        if os.path.isfile(candidate):
            return candidate
    raise FileNotFoundError(f"driver {driver!r}: no {filename} in {', '.join(searched) or 'any directory'} "
                            "(a module in another place is given by its path, with a slash)")


def load_driver(driver: str) -> int:
    """Loads a driver module (once per process; it stays loaded) and answers its handle."""
    path = find_driver(driver)
    if path not in _loaded:
        _loaded[path] = _plinth.load_module(path)
    return _loaded[path]
