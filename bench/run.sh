#!/usr/bin/env bash
# Builds a Release build in build/bench and runs every benchmark on it, printing Markdown
# tables of the figures measured, with the machine they were measured on, and of the detection
# rules on ../shared/falls when present. It reports figures, it does not judge them: exit
# status 0 when everything ran, non-zero when something could not.
# Usage: bench/run.sh [--quick] [--seconds N]
#   --quick      short runs and few repetitions (1 s CPU runs), to see that it runs
#   --seconds N  length of each CPU run (default 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"

options=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --quick) options+=(--quick) ;;
    --seconds) [[ $# -ge 2 ]] || { echo "--seconds needs a value" >&2; exit 2; }
               options+=(--seconds "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--seconds N]" >&2; exit 2 ;;
  esac
  shift
done

"$root/tools/install-deps.sh" --bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSENTRY_BENCH=ON -DSENTRY_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" \
  --target quillbramble-sentry-sim bench_sentry_sim_counted bench_play bench_wake_floor bench_detection alert-clip >/dev/null

# The detection rules on recordings of real falls, where the project's shared data lie beside it
# (they are never copied into the project).
falls="$root/../shared/falls/sisfall"
if [[ -d "$falls" ]]; then
  "$build/bench/bench_detection" "$falls"
  echo
fi
# Debian's Python, which has the python3-pexpect that install-deps.sh installs.
exec /usr/bin/python3 -B "$root/bench/measure.py" "$build" "${options[@]}"
