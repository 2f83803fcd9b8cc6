#!/usr/bin/env bash
# Builds the program and its tests once, as tools/test.sh does, then runs the whole suite N
# times in a row, to show that no test depends on the machine's pace. Stops at the first run
# that fails, names its failed tests and leaves that run's output in the build tree.
# Usage: tools/soak.sh N [extra cmake options]; SENTRY_BUILD_SUFFIX as for tools/test.sh, e.g.
#        SENTRY_BUILD_SUFFIX=-asan tools/soak.sh 10 -DSENTRY_SANITIZE=address,undefined
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/test${SENTRY_BUILD_SUFFIX:-}"

[[ $# -ge 1 && $1 =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 N [extra cmake options]" >&2; exit 2; }
runs=$1
shift

"$root/tools/install-deps.sh" --tests
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

log="$build/soak-run.log"
for run in $(seq "$runs"); do
  start=$SECONDS
  if ! ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 180 >"$log" 2>&1; then
    echo "soak: run $run of $runs failed after $((SECONDS - start)) s; the failed tests:"
    sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || tail -n 20 "$log"
    echo "soak: the run's whole output is in $log"
    exit 1
  fi
  tests=$(grep -Eo 'tests failed out of [0-9]+' "$log" | grep -Eo '[0-9]+$')
  echo "soak: run $run of $runs passed ($tests tests, $((SECONDS - start)) s, load $(cut -d' ' -f1-3 /proc/loadavg))"
done
echo "soak: $runs of $runs runs passed"
