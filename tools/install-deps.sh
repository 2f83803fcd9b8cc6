#!/usr/bin/env bash
# Installs from Debian the packages the build needs that are missing, as root or through sudo.
# Usage: tools/install-deps.sh [--tests] [--fuzz] [--package] [--bench] [--arm64]
#   --arm64: the cross build for arm64 (tools/aarch64-linux-gnu.cmake) and qemu to run it, from
#   Debian's arm64 architecture, which it adds to dpkg's
set -euo pipefail

packages=(build-essential cmake pkg-config libhidapi-dev libsdl2-dev libpulse-dev)
for option in "$@"; do
  case "$option" in
    --tests) packages+=(libgtest-dev groff-base dpkg-dev pulseaudio pulseaudio-utils systemd mosquitto mosquitto-clients curl python3) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    --package) packages+=(dpkg-dev lintian) ;;
    --bench) packages+=(pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber dbus python3-pexpect) ;;
    # arm64 packages of a library must have the version of the machine's own: apt upgrades those.
    --arm64) packages+=(crossbuild-essential-arm64 qemu-user libhidapi-dev:arm64 libsdl2-dev:arm64
                        libpulse-dev:arm64 libgtest-dev:arm64) ;;
    *) echo "usage: $0 [--tests] [--fuzz] [--package] [--bench] [--arm64]" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

# Another apt may hold the package manager's locks, as unattended-upgrades does on a machine's
# first boot: apt-get waits for dpkg's (DPkg::Lock::Timeout), this script for apt's list lock,
# which apt-get update does not wait for; either way it says so while it waits.
LOCK_WAIT_S=300
LOCK_NOTE_EVERY_S=30

# The pid holding a lock file as apt and dpkg take it (fcntl), from /proc/locks; empty if free.
lock_holder() {
  local key
  key=$(printf '%02x:%02x:%d' $(stat -c '%Hd %Ld %i' "$1" 2>/dev/null)) || return 0
  awk -v key="$key" '$6 == key { print $5; exit }' /proc/locks
}

wait_for_lock() {
  local lock=$1 holder waited=0
  while holder=$(lock_holder "$lock") && [[ -n $holder && $waited -lt $LOCK_WAIT_S ]]; do
    if ((waited % LOCK_NOTE_EVERY_S == 0)); then
      echo "Waiting for $lock, held by $(ps -o comm= -p "$holder" || echo "pid") $holder ($waited of ${LOCK_WAIT_S} s)"
    fi
    sleep 1
    waited=$((waited + 1))
  done
}

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  as_root=(sudo)
fi
if [[ " ${missing[*]} " == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${as_root[@]}" dpkg --add-architecture arm64
fi
echo "Installing: ${missing[*]}"
wait_for_lock /var/lib/apt/lists/lock
"${as_root[@]}" apt-get -o DPkg::Lock::Timeout=$LOCK_WAIT_S update -qq
wait_for_lock /var/lib/dpkg/lock-frontend
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get -o DPkg::Lock::Timeout=$LOCK_WAIT_S \
  install -y -qq --no-install-recommends "${missing[@]}"
