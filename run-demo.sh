#!/usr/bin/env bash
# Installs what is missing, builds the `plinth` command with the simulated stage (preset
# "default") and runs its demonstration. Settings go to a scratch database unless PLINTH_CONFIG
# says otherwise, so the demonstration starts from the same state every time.
set -euo pipefail
cd "$(dirname "$0")"

Tools/setup-deps.sh
cmake --preset default
cmake --build --preset default --target plinth_cli
PLINTH_CONFIG=${PLINTH_CONFIG:-:memory:} build/Tools/plinth/plinth --driver-path build/Drivers/SimStage demo
