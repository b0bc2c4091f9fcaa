#!/usr/bin/env bash
# Installs what is missing, builds everything (preset "default"), runs the unit tests and checks
# that a driver builds and loads against the installed package.
set -euo pipefail
cd "$(dirname "$0")"

Tools/setup-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
Tests/OutOfTree/check.sh build
