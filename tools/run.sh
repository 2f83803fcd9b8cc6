#!/usr/bin/env bash
# Builds the program and runs it in the folder that holds its clip.
# Usage: tools/run.sh [--sim] [OPTION...]
#   the program, with a paired Wii Remote; with --sim the same program with a simulated remote
#   that falls every few seconds. The options after it go to the program (--worn, --help).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/run"

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSENTRY_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

program=quillbramble-sentry
if [[ "${1:-}" == "--sim" ]]; then
  program=quillbramble-sentry-sim
  shift
fi
cd "$build"
exec "./$program" "$@"
