#!/usr/bin/env bash
# Builds the program and its tests and runs every test.
# Usage: tools/test.sh [extra cmake options], e.g. -DSENTRY_SANITIZE=thread
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/test${SENTRY_BUILD_SUFFIX:-}"

"$root/tools/install-deps.sh" --tests
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 180
