#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the server need,
# only those that are missing, without questions.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config
  libcli11-dev libspdlog-dev libstb-dev libsdl2-dev libx11-dev libxrandr-dev
  libsystemd-dev           # optional: readiness for Type=notify units
  # tests
  libgtest-dev
  xvfb x11-apps            # the window tests: Xvfb and xwd
  x11-xserver-utils        # xrandr: the window tests change the screen mode
  groff-base               # man page checks
  systemd                  # systemd-analyze verify on the units
  dpkg-dev file            # cpack -G DEB: dpkg-shlibdeps finds the library dependencies
  clang libclang-rt-14-dev # the fuzz harnesses
  inotify-tools            # a baseline of the file-follow benchmark
  python3-numpy python3-pytest python3-setuptools python3-pip python3-pil # the Python client and its tests
  # run time: the image plug-in keeps unclutter running
  unclutter
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
