#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: when all
# packages are present it prints nothing and touches nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  libssl-dev zlib1g-dev libbz2-dev liblzo2-dev
  libcurl4-openssl-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev
  python3-dev python3.11-dev python3-libtorrent libtorrent-rasterbar-dev
  nginx-light opentracker aria2
  xvfb xauth imagemagick fonts-wqy-zenhei fonts-arphic-gbsn00lp xdotool python3-xlib
  lzop bzip2 lbzip2 time curl bc minisign
  dpkg-dev file lintian desktop-file-utils
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

echo "setup-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup-deps: done"
