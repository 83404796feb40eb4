#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: it asks apt only for what is missing and says nothing
# when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-dev libboost-atomic-dev libboost-thread-dev libboost-log-dev
  libboost-regex-dev libboost-filesystem-dev libboost-date-time-dev
  libboost-random-dev libboost-exception-dev libboost-container-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  rapidjson-dev libconcurrentqueue-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
