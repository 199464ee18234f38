#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Tonvia needs.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  juce-modules-source juce-tools
  libboost1.81-dev nlohmann-json3-dev libsqlite3-dev libsodium-dev
  libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # JUCE on Debian links the system codec and image libraries
  libflac-dev libvorbis-dev libogg-dev libpng-dev libjpeg-dev zlib1g-dev
  # JUCE's GUI and audio modules on Linux
  libfreetype-dev libfontconfig1-dev libx11-dev libxext-dev libxrandr-dev
  libxinerama-dev libxcursor-dev libasound2-dev
  fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
