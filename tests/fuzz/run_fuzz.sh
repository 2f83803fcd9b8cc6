#!/usr/bin/env bash
# Builds the clip fuzzer with clang, replays the seed corpus (every seed must pass), then
# fuzzes for a bounded time into a copy of the corpus. Exits non-zero on any crash, leak,
# timeout or oversized allocation; what crashed is kept in BUILD_DIR/fuzz-artifacts/.
# Usage: tests/fuzz/run_fuzz.sh BUILD_DIR [SECONDS]   (SECONDS: 60 when not given)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${1:?usage: run_fuzz.sh BUILD_DIR [SECONDS]}
mkdir -p "$build"
build=$(cd "$build" && pwd)
seconds=${2:-60}

CC=clang CXX=clang++ cmake -S "$source_dir" -B "$build" -DSENTRY_FUZZ=ON -DSENTRY_TESTS=OFF >/dev/null
cmake --build "$build" --target clip_fuzzer -j2
fuzzer=$build/tests/fuzz/clip_fuzzer

# On tmpfs when there is one: writing the clip's file to a disk folder at every input costs
# three quarters of the fuzzer's pace.
if [ -w /dev/shm ]; then work=$(mktemp -d -p /dev/shm); else work=$(mktemp -d); fi
trap 'rm -rf "$work"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts" "$work/corpus" "$work/tmp"
cp "$here"/corpus/* "$work/corpus/"
# The fuzzer's private folder for the clip's file goes here, and goes with it.
export TMPDIR=$work/tmp
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Inputs of up to 64 KiB. The clip itself may then need at most 4 x 64 KiB (ADPCM decoding:
# the fuzzer stops at once on any allocation beyond four times the bytes loaded, plus 16 KiB
# of fixed buffers); the largest allocation the clip does not size is the output buffer, at
# most 1 MiB (32768 frames x 8 channels x 4 bytes). No allocation of 2 MiB or more is then
# honest, and libFuzzer reports any, as it would one sized from a header's claim.
max_len=65536
malloc_limit_mb=2
# Well above the ~440 MiB at which a run levels off, most of it ASan's quarantine of freed blocks.
rss_limit_mb=1024
timeout_s=10
options=(-max_len=$max_len -malloc_limit_mb=$malloc_limit_mb -rss_limit_mb=$rss_limit_mb
         -timeout=$timeout_s -detect_leaks=1 -artifact_prefix="$artifacts/")

echo "fuzz: replaying the seed corpus"
if ! "$fuzzer" "${options[@]}" -runs=0 "$here/corpus"; then
    echo "fuzz: FAILED: a seed of the corpus crashed; the input is in $artifacts/"
    exit 1
fi

echo "fuzz: fuzzing for $seconds s"
log=$work/fuzz.log
set +e
"$fuzzer" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 "$work/corpus" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
if [ "$status" -ne 0 ]; then
    echo "fuzz: FAILED (status $status) after ${runs:-?} runs; the input is in $artifacts/"
    exit 1
fi
echo "fuzz: $runs runs, no crash"
