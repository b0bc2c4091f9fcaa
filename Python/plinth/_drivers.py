"""Finding and loading driver modules."""

import glob
import os
from typing import Dict, List

from . import _plinth

# Short names whose module is not simply libplinth_<name>.so.
_MODULE_NAMES = {"sim": "simstage"}

_loaded: Dict[str, int] = {}


def driver_dirs() -> List[str]:
    """Where short driver names are looked up, in order: the directories in the environment
    variable PLINTH_DRIVER_PATH, <libdir>/plinth/drivers beside the installed library, and the
    driver directories of the build tree when the library is the one in a build tree."""
    dirs = [d for d in os.environ.get("PLINTH_DRIVER_PATH", "").split(os.pathsep) if d]
    library = _plinth.library_path()
    if library:
        libdir = os.path.dirname(os.path.realpath(library))
        dirs.append(os.path.join(libdir, "plinth", "drivers"))
        dirs.extend(sorted(glob.glob(os.path.join(libdir, os.pardir, "Drivers", "*"))))
    return dirs


def find_driver(driver: str) -> str:
    """The path of a driver module: `driver` is a short name ("sim", "zaber": the module
    libplinth_<name>.so found in driver_dirs()) or the path of a module."""
    if os.sep in driver or driver.endswith(".so"):
        if not os.path.exists(driver):
            raise FileNotFoundError(f"no driver module {driver}")
        return os.path.abspath(driver)
    filename = f"libplinth_{_MODULE_NAMES.get(driver, driver)}.so"
    searched = driver_dirs()
    for directory in searched:
        candidate = os.path.join(directory, filename)
        if os.path.exists(candidate):
            return os.path.abspath(candidate)
    raise FileNotFoundError(f"driver {driver!r}: no {filename} in {', '.join(searched) or 'any directory'}")


def load_driver(driver: str) -> int:
    """Loads a driver module (once per process; it stays loaded) and answers its handle."""
    path = find_driver(driver)
    if path not in _loaded:
        _loaded[path] = _plinth.load_module(path)
    return _loaded[path]
