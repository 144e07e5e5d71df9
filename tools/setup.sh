#!/usr/bin/env bash
# Installs the system packages the product needs (Debian 12, as root) and
# builds everything into build/ (or $ZEL_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake pkg-config python3 curl ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libssl-dev openssl zlib1g-dev libgtk-3-dev libplist-dev libarchive-dev
  uuid-dev nlohmann-json3-dev rapidjson-dev python3-jsonschema
  xvfb xauth imagemagick)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build_dir=${ZEL_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${ZEL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
