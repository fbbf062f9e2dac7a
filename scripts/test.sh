#!/usr/bin/env bash
# The test command. On a fresh Debian 12 machine, as root: installs whatever is missing, builds,
# and runs the whole suite twice, first under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-sanitize/), then as built for use (build/, which leaves build/velto.cgi in place).
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=scripts/lib.sh
source scripts/lib.sh

PACKAGES=(
  build-essential cmake g++ clang libgtest-dev libmd-dev
  libclang-rt-14-dev clang-tidy cppcheck shellcheck lighttpd curl apache2 nodejs nginx fcgiwrap
  apache2-utils openssl lighttpd-mod-openssl libapache2-mod-qos libpcre3 python3
  e2fsprogs xfsprogs btrfs-progs
  # The scale-out tests: a GlusterFS volume that the tests start and stop themselves.
  glusterfs-server glusterfs-client fuse3 iproute2 procps
  # The FastCGI mode: libfcgi, and the workers' starters for the end-to-end tests.
  libfcgi-dev spawn-fcgi libapache2-mod-fcgid
)
install_packages "${PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== Suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# Built with clang, whose libFuzzer runs the fuzz targets; a tree that another compiler
# configured is made anew.
if [ -f build-sanitize/CMakeCache.txt ] &&
  ! grep -q '^CMAKE_CXX_COMPILER:.*clang' build-sanitize/CMakeCache.txt; then
  rm -rf build-sanitize
fi
CC=clang CXX=clang++ run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVELTO_SANITIZE=ON

echo "== Suite as built for use"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
