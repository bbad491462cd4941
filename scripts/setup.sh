#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need; skips what is already there.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ make pkg-config
  rapidjson-dev libboost-dev libcurl4-openssl-dev libssl-dev libxxhash-dev libmicrohttpd-dev prometheus
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-botocore curl openssl zlib1g-dev valgrind
  dpkg-dev lintian
  maven openjdk-17-jdk-headless
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != "0" ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
