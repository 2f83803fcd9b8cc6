"""The tables: each benchmark's figures as rows of Markdown (measurement, figure, target, met,
how it was measured), and the table printed under the machine's description."""
import statistics

from program_figures import BIG_CLIP_BYTES, REPORTS_PER_SECOND, SETTLE_S
from sink_recording import MONITOR_LATENCY_MS

MIB = 1024 * 1024
TARGET_CPU_MS_PER_1000 = 20.0
TARGET_FIRST_SAMPLE_MS = 40.0
TARGET_CALL_MS = 0.1
TARGET_MEMORY_OVER_CLIP_BYTES = 8 * MIB


def by_thread(result):
    return ", ".join(f"{name} {ms:.1f} ms" for name, ms in sorted(result["threads_ms"].items()))


def met(ok):
    return "yes" if ok else "**no**"


def mib(kib):
    return f"{kib / 1024:.2f} MiB"


def counted_rows(r):
    return [("CPU per 1000 reports at 100/s, whole process",
             f"**{r['ms_per_1000']:.2f} ms**", f"< {TARGET_CPU_MS_PER_1000:g} ms",
             met(r["ms_per_1000"] < TARGET_CPU_MS_PER_1000),
             f"{r['cpu_ms']:.1f} ms CPU over {r['reports']} reports counted in {r['window_s']:.1f} s "
             f"({r['reports'] / r['window_s']:.1f}/s) from the banner on; /proc/PID/stat says "
             f"{r['tick_ms']:.0f} ms in its 10 ms ticks; by thread: {by_thread(r)}. The simulated "
             "remote's build, ReadReport wrapped at link time to count the reports it hands back"),
            ("CPU per 1000 reports, whole run with start-up and exit",
             f"{r['life_ms_per_1000']:.2f} ms", f"< {TARGET_CPU_MS_PER_1000:g} ms",
             met(r["life_ms_per_1000"] < TARGET_CPU_MS_PER_1000),
             f"{r['life_cpu_ms']:.1f} ms CPU (rusage at its reaping) over all {r['total_reports']} reports read; "
             f"{r['startup_cpu_ms']:.1f} ms of it before the banner")]


def floor_rows(f):
    return [("Floor: a bare thread woken 100/s from a timed wait",
             f"{f['cpu_ms_per_1000']:.2f} ms per 1000 wake-ups", "", "",
             f"{int(f['wakeups'])} wake-ups of `bench_wake_floor` (a condition variable's "
             "wait_until, as the simulated remote holds each read until its report is due): what "
             "this machine charges for the wake-ups alone")]


def shipped_rows(r):
    return [("CPU per 1000 reports, `quillbramble-sentry-sim` as built",
             f"{r['ms_per_1000']:.2f} ms", f"< {TARGET_CPU_MS_PER_1000:g} ms",
             met(r["ms_per_1000"] < TARGET_CPU_MS_PER_1000),
             f"{r['cpu_ms']:.1f} ms CPU in {r['window_s']:.1f} s (by thread: {by_thread(r)}), reports "
             f"reckoned as {REPORTS_PER_SECOND}/s x that time (uncounted build)"),
            ("Peak resident memory, the project's own clip",
             mib(r["hwm_kib"]), "", "",
             f"VmHWM ({r['hwm_kib']} KiB) at the end of the CPU run above, for comparison with "
             "the row below")]


def banner_rows(times_ms):
    return [("Start to banner, remote streaming",
             f"**{statistics.median(times_ms):.1f} ms** median", "", "",
             f"{len(times_ms)} runs, {min(times_ms):.1f} to {max(times_ms):.1f} ms: from spawning "
             "`quillbramble-sentry-sim` (fork and exec included) to its banner's last line on the "
             "terminal; includes loading the clip, opening audio and the 100 ms-bounded probe")]


def play_rows(f):
    rhythm = ""
    if "disk_chunk_median_bytes" in f:
        rhythm = (f"; the disk output came in chunks of {f['disk_chunk_median_bytes']:.0f} bytes every "
                  f"{f['disk_chunk_gap_median_ms']:.1f} ms ({f['disk_bytes_per_second']:.0f} B/s)")
    return [("`PlayAlertSound` call time",
             f"**{f['call_median_ns'] / 1e6:.6f} ms** median ({f['call_median_ns']:.0f} ns)", f"< {TARGET_CALL_MS:g} ms",
             met(f["call_median_ns"] / 1e6 < TARGET_CALL_MS),
             f"{int(f['calls'])} calls in a row while the device runs (SDL_AUDIODRIVER=disk): p99 "
             f"{f['call_p99_ns']:.0f} ns, max {f['call_max_ns'] / 1e3:.1f} us; a bare pair of clock "
             f"reads costs {f['clock_pair_median_ns']:.0f} ns, so the median is at the clock's floor"),
            ("Play to first samples in SDL's disk output",
             f"**{f['first_samples_median_ms']:.1f} ms** median", "", "",
             f"{int(f['trials'])} starts at spread phases, {f['first_samples_min_ms']:.1f} to "
             f"{f['first_samples_max_ms']:.1f} ms: from the call to the clip's first samples read "
             "from the FIFO that SDL_AUDIODRIVER=disk writes (22050 Hz mono 16-bit, as the alert "
             "clip). Includes the wait for the audio thread's next buffer and the disk driver's "
             "stdio buffering of its writes" + rhythm)]


def memory_rows(r, hold_s):
    limit = r["clip_bytes"] + TARGET_MEMORY_OVER_CLIP_BYTES
    hwm = r["hwm_kib"] * 1024
    return [(f"Peak resident memory, clip of 0x{BIG_CLIP_BYTES:X} bytes",
             f"**{mib(r['hwm_kib'])}** (clip + {(hwm - r['clip_bytes']) / MIB:.2f} MiB)",
             f"< clip + 8 MiB = {limit / MIB:.2f} MiB", met(hwm < limit),
             f"VmHWM of `quillbramble-sentry-sim` {hold_s:g} s after its banner ({r['hwm_kib']} KiB); "
             f"then VmRSS {mib(r['rss_kib'])}, of it RssAnon {mib(r['anon_kib'])} (the process's own) "
             f"and RssFile {mib(r['file_kib'])} (pages of its program and shared libraries); "
             f"clip {r['clip_bytes']} bytes = {r['clip_bytes'] / MIB:.2f} MiB, a 16-bit PCM WAV "
             "made for the run")]


def first_sample_rows(figures, kind, what):
    dated_ms, arrived_ms, calls_ms = figures
    bound = statistics.median(arrived_ms)
    return [(f"Play on a sleeping output to first sample at a {kind} null sink, {what}",
             f"**{bound:.1f} ms** median at most; dated {statistics.median(dated_ms):.1f} ms",
             f"<= {TARGET_FIRST_SAMPLE_MS:g} ms", met(bound <= TARGET_FIRST_SAMPLE_MS),
             f"{len(arrived_ms)} plays at spread phases, 2.5 s apart so that the output sleeps before "
             "each: from the `PlayAlertSound` call (which the alerting report's read is microseconds "
             "before) to the arrival of the first chunk holding its tone at parec, which records the "
             f"sink's monitor in {MONITOR_LATENCY_MS} ms fragments ({min(arrived_ms):.1f} to "
             f"{max(arrived_ms):.1f} ms): an upper bound; the first tone sample dated from the chunks' "
             f"arrival and the recording's sample clock, {min(dated_ms):.1f} to {max(dated_ms):.1f} ms "
             "(the dating runs a few ms early where the sink renders ahead, see DATED_EARLY_NS). The "
             "sink runs for the recorder. The calls took "
             f"{statistics.median(calls_ms) * 1000:.1f} us median, {max(calls_ms) * 1000:.1f} us at most")]


def suspended_rows(figures):
    dated_ms, arrived_ms = figures
    return [("Play on a sleeping output to first sample at a PulseAudio null sink that had suspended",
             f"**{statistics.median(arrived_ms):.1f} ms** median at most; dated "
             f"{statistics.median(dated_ms):.1f} ms", "", "",
             f"{len(arrived_ms)} plays, each once the sink read SUSPENDED; the recorder starts with the play "
             f"(and wakes the sink too): its first chunk holding tone came {min(arrived_ms):.1f} to "
             f"{max(arrived_ms):.1f} ms after the call, and the tone's start, dated from its end 100 ms "
             f"later (the recorder may come in after the start), {min(dated_ms):.1f} to "
             f"{max(dated_ms):.1f} ms")]


def at_rest_rows(results, rest_seconds):
    dummy = statistics.median(r["ms_per_1000"] for r in results["dummy"])
    rows = [("CPU per 1000 reports, remote at rest, output asleep: SDL's dummy driver",
             f"**{dummy:.2f} ms** median", "", "",
             f"{len(results['dummy'])} runs of {rest_seconds:g} s, "
             + ", ".join(f"{r['ms_per_1000']:.2f}" for r in results["dummy"])
             + f"; each {SETTLE_S:g} s after the banner (the ready sign played, the output asleep), "
             "taking turns with the three rows below; the counted build with its remote held at rest, so "
             f"that no fall sounds; by thread (last run): {by_thread(results['dummy'][-1])}")]
    for name, what in (("pulseaudio", "PulseAudio, its stream corked"),
                       ("pipewire-pulse", "pipewire-pulse, its stream corked"),
                       ("pipewire", "PipeWire's own (SDL), its device closed")):
        figure = statistics.median(r["ms_per_1000"] for r in results[name])
        over = (figure / dummy - 1) * 100
        rows.append((f"CPU per 1000 reports, remote at rest, output asleep: into {what}",
                     f"**{figure:.2f} ms** median ({over:+.0f} % on dummy)", "within 10 % of dummy",
                     met(over <= 10), f"{len(results[name])} runs, "
                     + ", ".join(f"{r['ms_per_1000']:.2f}" for r in results[name])
                     + f"; by thread (last run): {by_thread(results[name][-1])}"))
    for kind, users in (("pulseaudio", ("pulseaudio",)), ("pipewire", ("pipewire-pulse", "pipewire"))):
        alone = results[f"{kind} alone"]
        watched = [r["server_cpu_ms"] for name in users for r in results[name]]
        rows.append((f"The {kind} server's CPU over {rest_seconds:g} s of quiet",
                     f"**{statistics.median(watched):.0f} ms** with the program watching, "
                     f"**{statistics.median(alone):.0f} ms** without", "", "",
                     "utime + stime of its processes (/proc/PID/stat, 10 ms ticks"
                     + ("; pipewire, pipewire-pulse, wireplumber and dbus-daemon" if kind == "pipewire" else "")
                     + f"): with, over the windows of the rows above ({', '.join(f'{v:.0f}' for v in watched)} ms); "
                     f"without, over windows as long with no client ({', '.join(f'{v:.0f}' for v in alone)} ms)"))
    return rows


def banner_sound_rows(times_ms, what):
    return [(f"Start to banner, {what}", f"**{statistics.median(times_ms):.1f} ms** median", "", "",
             f"{len(times_ms)} runs, {min(times_ms):.1f} to {max(times_ms):.1f} ms, SDL's default "
             "output; compare with the row below or above")]


def print_table(title, machine_lines, rows):
    print(f"### {title}")
    print()
    print("\n".join(machine_lines))
    print()
    print("| Measurement | Figure | Target | Met | How it was measured |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
