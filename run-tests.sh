#!/usr/bin/env bash
# Installs what is missing, builds everything (preset "default"), runs the unit tests, checks that
# a driver builds and loads against the installed package, and installs the build under
# /usr/local (library, drivers, the `plinth` command and the Python package, so that Debian's
# python3 can `import plinth` with no further step).
set -euo pipefail
cd "$(dirname "$0")"

Tools/setup-deps.sh
cmake --preset default
cmake --build --preset default
ctest --preset default
Tests/OutOfTree/check.sh build

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" cmake --install build >/dev/null
echo "run-tests: installed under $(cmake -L -N build 2>/dev/null | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p')"

# The python3 first on PATH may be another CPython than Debian's (pyenv, say). When it has the
# same ABI, a .pth file in its site-packages lets it import the installed package as well.
abi='import sys, sysconfig; print(sys.executable, sysconfig.get_config_var("SOABI"))'
read -r debian_exe debian_abi < <(/usr/bin/python3 -c "$abi")
if command -v python3 >/dev/null && read -r path_exe path_abi < <(python3 -c "$abi") \
        && [[ "$path_exe" != "$debian_exe" && "$path_abi" == "$debian_abi" ]]; then
    package_dir=$(cd / && /usr/bin/python3 -c 'import os, plinth; print(os.path.dirname(os.path.dirname(plinth.__file__)))')
    site_dir=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    echo "$package_dir" | "${sudo[@]}" tee "$site_dir/plinth.pth" >/dev/null
    echo "run-tests: $path_exe finds the package through $site_dir/plinth.pth"
fi
