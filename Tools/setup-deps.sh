#!/usr/bin/env bash
# Installs the Debian packages that building and testing Plinth needs, when any is missing.
# Idempotent: with everything present it only asks dpkg and returns.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format libboost-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev libsqlite3-dev libcli11-dev libreadline-dev pkg-config
          libclang-rt-14-dev gdb python3-dev pybind11-dev python3-pybind11 python3-pytest
          python3-matplotlib libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler
          python3-grpcio python3-protobuf)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    if [[ "$status" != "installed" ]]; then
        missing+=("$pkg")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "setup-deps: all packages present"
    exit 0
fi

echo "setup-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "setup-deps: not root and no sudo; install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
