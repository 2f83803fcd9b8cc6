"""The program's own figures, each from runs at a pty: its CPU per report while it watches (also
with its remote at rest into each sound server), the machine's floor under that, its start to
the banner, and its peak memory with the largest clip."""
import os
import shutil
import struct
import subprocess
import time

import cpu_and_memory
from not_measured import NotMeasured
from program_at_pty import BANNER_END, BANNER_WAIT_S, ProgramAtPty, clip_folder, started_at_banner

REPORTS_PER_SECOND = 100  # the simulated remote's 0x31 rate while it streams
BIG_CLIP_BYTES = 0x13FFFFF
WAV_HEADER_BYTES = 44
# From the banner until the output sleeps: the ready sign's 1 s, then 1 to 1.5 s of quiet.
SETTLE_S = 3.0


def figures_of(text):
    """A bench program's name=value lines."""
    figures = {}
    for line in text.splitlines():
        name, _, value = line.partition("=")
        if value:
            figures[name] = float(value)
    return figures


def measure_cpu(program, build, seconds, counted, sound=None, at_rest=False, server=None):
    """CPU of the whole process over `seconds` of streaming, from the banner on; into SDL's
    dummy output, or into a sound server: the environment that a SoundServer gives. At rest
    (the counted build only), the remote never falls and the window starts once the output has
    gone to sleep after the ready sign; with a server given, its CPU over the window too."""
    folder = clip_folder(build)
    count_file = os.path.join(folder, "report-count")
    environment = dict(sound) if sound else {"SDL_AUDIODRIVER": "dummy"}
    if counted:
        environment["SENTRY_BENCH_REPORT_COUNT"] = count_file
    if at_rest:
        environment["SENTRY_BENCH_AT_REST"] = "1"
    try:
        run = started_at_banner(program, folder, environment)
        try:
            if counted and not os.path.exists(count_file):
                raise NotMeasured("the counted build made no report count")
            if at_rest:
                time.sleep(SETTLE_S)
            # From the banner on, after start-up: the steady state of reading reports.
            t0, cpu0, ticks0 = time.monotonic_ns(), run.cpu_ns(), run.cpu_ticks()
            threads0 = cpu_and_memory.thread_cpu_ms(run.pid)
            count0 = cpu_and_memory.read_count(count_file) if counted else 0
            server0 = server.cpu_ms() if server else 0
            time.sleep(seconds)
            t1, cpu1, ticks1 = time.monotonic_ns(), run.cpu_ns(), run.cpu_ticks()
            threads1 = cpu_and_memory.thread_cpu_ms(run.pid)
            count1 = cpu_and_memory.read_count(count_file) if counted else 0
            server1 = server.cpu_ms() if server else 0
            hwm_kib = cpu_and_memory.status_kib(run.pid, "VmHWM")
            status = run.quit()
        finally:
            run.close()
        if status != 0:
            raise NotMeasured(f"the program ended with status {status}")
        window_s = (t1 - t0) / 1e9
        reports = count1 - count0 if counted else REPORTS_PER_SECOND * window_s
        if reports <= 0:
            raise NotMeasured("no reports were read")
        result = {
            "window_s": window_s,
            "cpu_ms": (cpu1 - cpu0) / 1e6,
            "startup_cpu_ms": cpu0 / 1e6,
            # Threads alive at both ends of the window.
            "threads_ms": {name: threads1[name] - threads0[name] for name in threads1 if name in threads0},
            "tick_ms": cpu_and_memory.ticks_ms(ticks1 - ticks0),
            "reports": reports,
            "hwm_kib": hwm_kib,
            "precise": run.cpu_clock is not None,
            "server_cpu_ms": server1 - server0,
        }
        result["ms_per_1000"] = result["cpu_ms"] / (reports / 1000)
        if counted:
            total = cpu_and_memory.read_count(count_file)
            result.update(total_reports=total, life_cpu_ms=run.life_cpu_ms,
                          life_ms_per_1000=run.life_cpu_ms / (total / 1000))
        return result
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def measure_cpu_at_rest(counted, build, seconds, rounds, pulse, pipewire):
    """The remote at rest, the output asleep: the program's CPU into SDL's dummy driver and into
    each server (SoundServers already started), in turns; and each server's CPU over the
    program's window, and over as long a window with no client at all."""
    targets = [("dummy", None, None), ("pulseaudio", pulse.environment, pulse),
               ("pipewire-pulse", pipewire.environment, pipewire),
               ("pipewire", {**pipewire.environment, "SDL_AUDIODRIVER": "pipewire"}, pipewire)]
    results = {name: [] for name, _, _ in targets}
    results.update({"pulseaudio alone": [], "pipewire alone": []})
    for round_ in range(rounds):
        # Each round in another order, so that none is always first after a rest.
        for name, sound, server in targets[round_ % len(targets):] + targets[:round_ % len(targets)]:
            results[name].append(measure_cpu(counted, build, seconds, True, sound, at_rest=True, server=server))
        for name, server in (("pulseaudio alone", pulse), ("pipewire alone", pipewire)):
            before = server.cpu_ms()
            time.sleep(seconds)
            results[name].append(server.cpu_ms() - before)
    return results


def measure_banner(program, build, runs, sound=None):
    """Start to banner, into SDL's dummy output or the sound given; `{}` stands for none."""
    folder = clip_folder(build)
    times_ms = []
    try:
        if sound == {}:
            # No server to find: none at these addresses, and an empty runtime folder.
            sound = {"XDG_RUNTIME_DIR": folder, "PULSE_SERVER": f"unix:{folder}/none"}
        for _ in range(runs):
            run = ProgramAtPty(program, folder, sound if sound is not None else {"SDL_AUDIODRIVER": "dummy"})
            try:
                seen_ns = run.read_until(BANNER_END, BANNER_WAIT_S)
                times_ms.append((seen_ns - run.started_ns) / 1e6)
                run.wait_key_mode()
                run.quit()
            finally:
                run.close()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return times_ms


def measure_floor(bench_wake_floor, wakeups):
    out = subprocess.run([bench_wake_floor, str(wakeups)], capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        raise NotMeasured(f"bench_wake_floor: status {out.returncode}: {out.stderr.strip()[-300:]}")
    return figures_of(out.stdout)


def big_clip(total_bytes):
    """A 16-bit PCM WAV (22050 Hz, mono) of exactly total_bytes: header, samples, a pad byte."""
    data_bytes = (total_bytes - WAV_HEADER_BYTES) // 2 * 2
    pad = total_bytes - WAV_HEADER_BYTES - data_bytes
    header = b"RIFF" + struct.pack("<I", total_bytes - 8) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 1, 1, 22050, 22050 * 2, 2, 16) + b"data" + struct.pack("<I", data_bytes)
    assert len(header) == WAV_HEADER_BYTES
    # A quiet square wave: every page of the clip holds samples, none are left untouched.
    period = struct.pack("<50h", *([800] * 25 + [-800] * 25))
    data = (period * (data_bytes // len(period) + 1))[:data_bytes]
    return header + data + b"\0" * pad


def measure_memory(program, build, hold_s):
    clip = big_clip(BIG_CLIP_BYTES)
    folder = clip_folder(build, clip)
    try:
        run = started_at_banner(program, folder, {"SDL_AUDIODRIVER": "dummy"})
        try:
            time.sleep(hold_s)
            figures = {key: cpu_and_memory.status_kib(run.pid, key) for key in ("VmHWM", "VmRSS", "RssAnon", "RssFile")}
            run.quit()
        finally:
            run.close()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return {"clip_bytes": len(clip), "hwm_kib": figures["VmHWM"], "rss_kib": figures["VmRSS"],
            "anon_kib": figures["RssAnon"], "file_kib": figures["RssFile"]}
