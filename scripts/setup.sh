#!/usr/bin/env bash
# Installs everything the build, the program and the tests need on Debian 12,
# skipping packages that are already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
  libtiff-dev libpng-dev libjpeg62-turbo-dev
  libqt6svg6 libgl-dev libxkbcommon-dev libx11-dev
  libgtest-dev googletest libbenchmark-dev
  python3 libtiff-tools libimage-exiftool-perl libjpeg-turbo-progs
  colord-data libgs-common argyll-ref
  # ArgyllCMS, an independent engine: the reference in tests and the peer in
  # benchmarks (it brings no colour-management library).
  argyll ccache
  # The installed program: packaging, desktop-file and AppStream checks, the
  # manual read back, and the program started under Xvfb (also for the
  # screenshots). None of these brings a colour-management library.
  dpkg-dev file fakeroot man-db desktop-file-utils appstream python3-pypdf
  fonts-dejavu-core xvfb xauth xdotool x11-apps
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
