#!/usr/bin/env bash
# Builds the Debian package from a Release tree in build/package and checks it with lintian:
# exits non-zero on any error or warning (infos may stay). Prints lintian's whole verdict.
# Usage: tools/package.sh                (the package lands in build/package/)
#        tools/package.sh --arch arm64   (cross-built for arm64, in build/package-arm64/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/package"
deps=(--package)
cross=()
case "${1:-}" in
  "") ;;
  --arch)
    [[ "${2:-}" == arm64 ]] || { echo "usage: $0 [--arch arm64]" >&2; exit 2; }
    build="$root/build/package-arm64"
    if [[ $(dpkg --print-architecture) != arm64 ]]; then  # on arm64 itself, the native build
      deps+=(--arm64)
      cross=(-DCMAKE_TOOLCHAIN_FILE="$root/tools/aarch64-linux-gnu.cmake")
    fi ;;
  *) echo "usage: $0 [--arch arm64]" >&2; exit 2 ;;
esac

"$root/tools/install-deps.sh" "${deps[@]}"
cmake -S "$root" -B "$build" "${cross[@]}" -DCMAKE_BUILD_TYPE=Release -DSENTRY_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/quillbramble-sentry_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/quillbramble-sentry_*.deb)
echo "Package: $deb"

# lintian warns on stderr when run as root; what it finds is on stdout. Exit 1: errors or
# warnings found; 2: lintian itself failed.
status=0
verdict=$(lintian --display-info --pedantic --fail-on error,warning "$deb" 2>/dev/null) || status=$?
echo "lintian --display-info --pedantic:"
if [[ -n "$verdict" ]]; then sed 's/^/  /' <<<"$verdict"; else echo "  (nothing)"; fi
if [[ $status -ne 0 ]]; then
  echo "lintian failed the package (exit status $status)" >&2
  exit 1
fi
