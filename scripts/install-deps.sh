#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
# Does nothing when they are all present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache dpkg-dev file python3 desktop-file-utils
  qt6-base-dev qt6-declarative-dev qt6-multimedia-dev qt6-tools-dev qt6-l10n-tools qt6-httpserver-dev qt6-websockets-dev
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtqml-workerscript qml6-module-qtquick
  qml6-module-qtquick-window qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qt-labs-platform qml6-module-qtmultimedia qml6-module-qttest
  libqt6svg6 libx11-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  binutils-mingw-w64-x86-64
  xvfb xauth x11-utils trayer xdotool imagemagick libgl1-mesa-dri fonts-dejavu-core fonts-symbola
  pulseaudio pulseaudio-utils sox icecast2 ffmpeg curl espeak-ng faketime
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
for i in 1 2 3 4 5 6; do
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" && exit 0
  echo "apt-get failed (dpkg lock busy?), retrying in 10 s" >&2
  sleep 10
done
echo "Could not install the packages" >&2
exit 1
