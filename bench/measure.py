#!/usr/bin/env python3
"""Runs every benchmark against a built tree and prints a Markdown table of what it measured.

Usage: measure.py BUILD_DIR [--quick] [--seconds N]

The programs run on a pseudo-terminal of their own, as at a console (program_at_pty); their CPU
and memory are sampled from /proc (cpu_and_memory); the sound's delays are recorded at a private
sound server's null sink (sound_servers, sink_recording); the rows are written by tables. Figures
are reported, never judged: the exit status is 0 when every measurement ran, 1 when one could not.
"""
import argparse
import contextlib
import os
import subprocess
import sys

import machine
import tables
from not_measured import NotMeasured
from program_figures import (REPORTS_PER_SECOND, measure_banner, measure_cpu, measure_cpu_at_rest,
                             measure_floor, measure_memory)
from sound_figures import measure_first_sample, measure_first_sample_suspended, measure_play
from sound_servers import SoundServer

# The sound servers, the SDL_AUDIODRIVER that each play takes, and what then plays: the player
# speaks PulseAudio's protocol, also to PipeWire (through pipewire-pulse), unless SDL is told to
# use PipeWire's own output.
SERVER_OUTPUTS = [("pulseaudio", "pulseaudio", "the PulseAudio client"),
                  ("pipewire", "pulseaudio", "the PulseAudio client, through pipewire-pulse"),
                  ("pipewire", "pipewire", "SDL's PipeWire output")]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true", help="short runs, few repetitions")
    parser.add_argument("--seconds", type=float, help="length of each CPU run (default 20, quick 1)")
    args = parser.parse_args()
    quick = args.quick
    seconds = args.seconds if args.seconds else (1.0 if quick else 20.0)
    banner_runs = 3 if quick else 11
    calls = 10000 if quick else 200000
    trials = 3 if quick else 30
    plays = 1 if quick else 20  # into each sound server: 2.5 s each
    suspended_plays = 1 if quick else 10
    rest_rounds = 1 if quick else 8  # of windows of at most 10 s: single runs spread by ±50 %
    rest_seconds = min(seconds, 10.0)
    hold_s = 1.0 if quick else 3.0
    floor_wakeups = int(REPORTS_PER_SECOND * min(seconds, 10.0))

    build = os.path.abspath(args.build)
    sim = os.path.join(build, "quillbramble-sentry-sim")
    counted = os.path.join(build, "bench", "bench_sentry_sim_counted")
    bench_play = os.path.join(build, "bench", "bench_play")
    bench_wake_floor = os.path.join(build, "bench", "bench_wake_floor")

    rows = []
    failures = []

    def attempt(title, measurement, rows_of):
        print(f"measuring: {title} ...", file=sys.stderr, flush=True)
        try:
            rows.extend(rows_of(measurement()))
        except (NotMeasured, OSError, subprocess.SubprocessError) as error:
            failures.append(title)
            rows.append((title, f"not measured: {error}", "", "", ""))

    attempt("CPU, counted", lambda: measure_cpu(counted, build, seconds, True), tables.counted_rows)
    attempt("CPU, as built", lambda: measure_cpu(sim, build, seconds, False), tables.shipped_rows)
    attempt("wake-up floor", lambda: measure_floor(bench_wake_floor, floor_wakeups), tables.floor_rows)
    attempt("start to banner", lambda: measure_banner(sim, build, banner_runs), tables.banner_rows)
    attempt("PlayAlertSound", lambda: measure_play(bench_play, calls, trials), tables.play_rows)
    attempt("peak memory", lambda: measure_memory(sim, build, hold_s), lambda r: tables.memory_rows(r, hold_s))

    # One server of each kind serves every measurement below; one that did not start leaves
    # those that need it unmeasured.
    with contextlib.ExitStack() as servers:
        started, not_started = {}, {}
        for kind in ("pulseaudio", "pipewire"):
            print(f"starting: {kind} ...", file=sys.stderr, flush=True)
            try:
                started[kind] = servers.enter_context(SoundServer(kind))
            except (NotMeasured, OSError, subprocess.SubprocessError) as error:
                not_started[kind] = error

        def server(kind):
            if kind not in started:
                raise NotMeasured(f"no {kind} server: {not_started[kind]}")
            return started[kind]

        for kind, driver, what in SERVER_OUTPUTS:
            attempt(f"first sample, {kind} through {driver}",
                    lambda: measure_first_sample(bench_play, server(kind), driver, plays),
                    lambda figures: tables.first_sample_rows(figures, kind, what))
        attempt("first sample, suspended pulseaudio",
                lambda: measure_first_sample_suspended(bench_play, server("pulseaudio"), suspended_plays),
                tables.suspended_rows)
        attempt("CPU at rest",
                lambda: measure_cpu_at_rest(counted, build, rest_seconds, rest_rounds, server("pulseaudio"),
                                            server("pipewire")),
                lambda results: tables.at_rest_rows(results, rest_seconds))
        card = "a sound card" if os.path.exists("/proc/asound/cards") else "no sound card"
        attempt("start to banner, pulseaudio",
                lambda: measure_banner(sim, build, banner_runs, server("pulseaudio").environment),
                lambda times_ms: tables.banner_sound_rows(times_ms, f"a PulseAudio server ({card})"))
    attempt("start to banner, no server", lambda: measure_banner(sim, build, banner_runs, {}),
            lambda times_ms: tables.banner_sound_rows(
                times_ms, f"no sound server ({card}): \"Alert sound cannot be played.\""))

    mode = "quick run" if quick else "full run"
    tables.print_table(f"Benchmarks ({mode}; CPU runs of {seconds:g} s; SDL_AUDIODRIVER=dummy unless said)",
                       machine.machine_lines(build), rows)
    if failures:
        print(f"\nNot measured: {', '.join(failures)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
