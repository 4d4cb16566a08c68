#!/usr/bin/env bash
# Installs Debian packages that are missing: those named as arguments, or by
# default what the test suite needs (the toolchain, CMake, Ninja, GoogleTest
# with GoogleMock, and Python for the end-to-end tests). As a normal user it
# asks sudo.
# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
[ $# -gt 0 ] || set -- cmake ninja-build g++ googletest libgtest-dev libgmock-dev python3
install_packages "$@"
