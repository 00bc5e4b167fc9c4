#!/usr/bin/env bash
# Installs the system packages the C++ tests build with, where they are
# missing: GoogleTest (Debian/Ubuntu package libgtest-dev, which brings the
# googletest sources CMake falls back to). Only root installs; anyone else is
# told the command. A machine that has them needs neither root nor network.
set -euo pipefail
if [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/src/googletest/CMakeLists.txt ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "error: GoogleTest is missing; install libgtest-dev" \
         "(sudo apt-get update && sudo apt-get install libgtest-dev)" >&2
    exit 1
fi
echo "installing GoogleTest (libgtest-dev) for the C++ tests"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
