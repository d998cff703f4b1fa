#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Tamberlo Joyrelay needs.
# Idempotent and non-interactive; run as root (or through sudo).
#   scripts/install-deps.sh          build + run + every test layer
#   scripts/install-deps.sh --run    only what building and running the program needs
set -euo pipefail

build_pkgs=(
  build-essential cmake ninja-build pkg-config git
  libusb-1.0-0-dev libevdev-dev libx11-dev libxtst-dev libxi-dev
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev
  libasio-dev
  libwayland-dev plasma-wayland-protocols libxkbcommon-dev nlohmann-json3-dev
)
test_pkgs=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev
  umockdev libumockdev-dev libglib2.0-dev
  xvfb openbox trayer xdotool x11-utils x11-xserver-utils imagemagick xterm
  chromium
  sway foot xwayland util-linux kwin-wayland gnome-shell weston dbus-daemon wev
  gnome-shell-extension-appindicator qt6-wayland acl appstream
  desktop-file-utils udev dpkg-dev file curl
)

pkgs=("${build_pkgs[@]}")
if [[ "${1:-}" != "--run" ]]; then pkgs+=("${test_pkgs[@]}"); fi

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  echo "install-deps: everything is installed"
  exit 0
fi

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
