#!/usr/bin/env bash
# Installs from Debian the packages the build needs that are missing, as root or through sudo.
# Usage: tools/install-deps.sh [--tests] [--fuzz] [--package] [--bench]
set -euo pipefail

packages=(build-essential cmake pkg-config libhidapi-dev libsdl2-dev libpulse-dev)
for option in "$@"; do
  case "$option" in
    --tests) packages+=(libgtest-dev groff-base dpkg-dev pulseaudio pulseaudio-utils systemd mosquitto mosquitto-clients curl python3) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --package) packages+=(dpkg-dev lintian) ;;
    --bench) packages+=(pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus) ;;
    *) echo "usage: $0 [--tests] [--fuzz] [--package] [--bench]" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
