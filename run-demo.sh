#!/usr/bin/env bash
# Installs what is missing, builds the demonstration program (preset "default") and runs it.
set -euo pipefail
cd "$(dirname "$0")"

Tools/setup-deps.sh
cmake --preset default
cmake --build --preset default --target plinth-demo
build/Tools/plinth-demo
