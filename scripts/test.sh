#!/usr/bin/env bash
# The test command. On a fresh Debian 12 machine, as root: installs whatever is missing, builds,
# and runs the whole suite twice, first under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-sanitize/), then as built for use (build/, which leaves build/velto.cgi in place).
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake g++ clang libgtest-dev libmd-dev
  libclang-rt-14-dev clang-tidy cppcheck lighttpd curl apache2 nodejs nginx fcgiwrap
  libfcgi-dev spawn-fcgi libapache2-mod-fcgid
)

missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The tests start their own web servers on loopback ports: the packages must not start system
  # services, which would also fight over port 80 and fail the install.
  quiet_services=no
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d
    quiet_services=yes
  fi
  install_status=0
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    install_status=$?
  if [ "$quiet_services" = yes ]; then rm -f /usr/sbin/policy-rc.d; fi
  [ "$install_status" -eq 0 ] || exit "$install_status"
fi

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
