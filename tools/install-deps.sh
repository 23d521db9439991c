#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the checks need, if any
# is missing. Needs root (or sudo) only when something has to be installed.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libbenchmark-dev liblz4-dev clang-14 libclang-rt-14-dev
          clang-tidy clang-format cppcheck pkgconf binutils
          libcli11-dev nlohmann-json3-dev libfmt-dev espeak-ng libhtscodecs-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
