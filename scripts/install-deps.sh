#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the project builds and runs with, skipping those
# already present. Needs root (apt-get) only when something is missing.
# Extra package names given as arguments are installed too (scripts/fuzz.sh
# asks for clang and libFuzzer this way); with --only, just those (the cross
# builds ask for their toolchains this way).
set -euo pipefail

if [[ ${1:-} == --only ]]; then
  shift
  packages=("$@")
else
  packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libbenchmark-dev
  libopenimageio-dev openimageio-tools libopenexr-dev
  libtbb-dev libcli11-dev
  libavformat-dev libavcodec-dev libswscale-dev libavutil-dev ffmpeg
  time bc
  python3-numpy python3-openimageio
  python3-dev pybind11-dev python3-pybind11
  python3-setuptools python3-wheel python3-pip python3-venv python3-mypy binutils
  libcpp-httplib-dev nlohmann-json3-dev
  libssl-dev
  chromium chromium-driver python3-selenium python3-pytest
  qemu-user
  "$@"
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
