#!/usr/bin/env bash
# Installs a built Plinth into a temporary prefix, builds the driver of this directory against it
# with find_package(Plinth) and loads that driver. Usage: check.sh <build dir of Plinth>
set -euo pipefail

if [[ $# -ne 1 || ! -f "$1/CMakeCache.txt" ]]; then
    echo "usage: $0 <configured and built Plinth build directory>" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/plinth-outoftree.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

echo "out-of-tree: installing $build into $prefix"
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    exit 1
fi

# The layout the package promises.
for file in include/plinth/Plinth.h include/plinth/driver/Driver.h include/plinth/driver/CLowLevelStage.h include/plinth/base/utl/CPropSet.h \
            include/plinth/base/platform/Module.h; do
    [[ -f "$prefix/$file" ]] || { echo "out-of-tree: $file not installed" >&2; exit 1; }
done
config=$(find "$prefix" -name PlinthConfig.cmake -print -quit)
[[ -n "$config" ]] || { echo "out-of-tree: PlinthConfig.cmake not installed" >&2; exit 1; }

# A driver includes the driver kit and nothing else of Plinth's own headers.
if grep -n '#include <plinth/' "$here/ExampleDriver.cpp" | grep -v '<plinth/driver/'; then
    echo "out-of-tree: the example driver includes a header from outside the driver kit" >&2
    exit 1
fi

echo "out-of-tree: building the example driver against the installed package"
cmake -S "$here" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/build"

echo "out-of-tree: loading the driver module"
# The check changes no settings; keep it away from the user's configuration file all the same.
PLINTH_CONFIG=:memory: "$work/build/loaddriver" "$work/build/libexampledriver.so"
