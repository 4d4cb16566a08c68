#!/usr/bin/env bash
# Installs Debian packages that are missing: those named as arguments, or by
# default what the test suite needs (the toolchain, CMake, Ninja, GoogleTest
# with GoogleMock, and Python for the end-to-end tests). As a normal user it
# asks sudo.
set -euo pipefail
packages=("$@")
[ ${#packages[@]} -gt 0 ] || packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev python3)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq "${missing[@]}"
