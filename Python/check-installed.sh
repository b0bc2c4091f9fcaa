#!/usr/bin/env bash
# Installs a built Plinth into a temporary prefix and drives the simulated stage from the
# installed package plinth: the module must find the library and the driver from where they were
# installed, not from the build tree. Usage: check-installed.sh <build dir of Plinth>
set -euo pipefail

if [[ $# -ne 1 || ! -f "$1/CMakeCache.txt" ]]; then
    echo "usage: $0 <configured and built Plinth build directory>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/plinth-python.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
package=$(find "$work/prefix" -path '*-packages/plinth/__init__.py' -print -quit)
[[ -n "$package" ]] || { echo "python: the package plinth was not installed" >&2; exit 1; }
cd "$work"
PYTHONPATH=$(dirname "$(dirname "$package")") PLINTH_CONFIG=:memory: PLINTH_PREFIX="$work/prefix" /usr/bin/python3 - <<'PY'
import os
import plinth
prefix = os.environ["PLINTH_PREFIX"]
for path in (plinth.__file__, plinth._plinth.library_path(), plinth.find_driver("sim")):
    assert os.path.realpath(path).startswith(prefix), f"{path} is not the installed one"
with plinth.Stage("sim", settings={plinth.sim.TIME_SCALE: 1000.0}) as stage:
    stage.find_limits("x")
    stage.move(x="1mm")
    assert stage.position("x") == (1000.0, "µm")
print(f"python: plinth {plinth.__version__} works installed ({plinth.__file__})")
PY
