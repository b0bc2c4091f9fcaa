"""Finding and loading driver modules (names resolve through the library's driver registry)."""

import os
from typing import Dict, List

from . import _plinth

_loaded: Dict[str, int] = {}


def driver_dirs() -> List[str]:
    """Where short driver names are looked up, in order: the absolute directories in the
    environment variable PLINTH_DRIVER_PATH, then <libdir>/plinth/drivers beside the library that
    the package uses. Never the current directory, never a build tree (a package used from its
    build tree finds its drivers through PLINTH_DRIVER_PATH)."""
    return list(_plinth.driver_folders())


def find_driver(driver: str) -> str:
    """The path of a driver module. `driver` containing a slash is a path ("./libmine.so",
    "/opt/x/libplinth_y.so"); otherwise it is a short name ("sim", "zaber", "asi", or
    libplinth_<name>.so of another installed driver, looked up in driver_dirs() only)."""
    if "/" in driver:
        if not os.path.isfile(driver):
            raise FileNotFoundError(f"no driver module {driver}")
        return os.path.abspath(driver)
    path, why = _plinth.find_driver_module(driver)
    if not path:
        raise FileNotFoundError(why)
    return path


def load_driver(driver: str) -> int:
    """Loads a driver module (once per process; it stays loaded) and answers its handle."""
    path = find_driver(driver)
    if path not in _loaded:
        _loaded[path] = _plinth.load_module(path)
    return _loaded[path]
