#!/usr/bin/env python3
"""Runs every benchmark against a built tree and prints a Markdown table of what it measured.

Usage: measure.py BUILD_DIR [--quick] [--seconds N]

The programs run on a pseudo-terminal of their own, as at a console: the banner is read from
it, and ESC typed into it once the program has put it into key-at-a-time mode. Figures are
reported, never judged: the exit status is 0 when every measurement ran, 1 when one could not.
"""
import argparse
import ctypes
import datetime
import fcntl
import os
import select
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

BANNER_END = b"Home button  ... Quit"
ESC = b"\x1b"
REPORTS_PER_SECOND = 100  # the simulated remote's 0x31 rate while it streams
BIG_CLIP_BYTES = 0x13FFFFF
MIB = 1024 * 1024
WAV_HEADER_BYTES = 44

BANNER_WAIT_S = 10.0
KEY_MODE_WAIT_S = 3.0
QUIT_WAIT_S = 5.0
ESC_REPEAT_S = 0.5  # ESC is typed again while the program has not quit

SOUND_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "sound_server.sh")
MONITOR = "sentry_sink.monitor"
MONITOR_RATE = 22050
MONITOR_LATENCY_MS = 5  # the recorder's fragment: how late a sample may be stamped
LOUD = 1000  # a tone sample; the silence between plays is 0
# An idle PulseAudio null sink renders seconds ahead, and a new stream waits that out; once a
# low-latency recorder has its first samples, the sink runs at the recorder's pace.
SINK_WAIT_S = 10.0
# The sound servers, the SDL_AUDIODRIVER that each play takes, and what then plays: the player
# speaks PulseAudio's protocol, also to PipeWire (through pipewire-pulse), unless SDL is told to
# use PipeWire's own output.
SERVER_OUTPUTS = [("pulseaudio", "pulseaudio", "the PulseAudio client"),
                  ("pipewire", "pulseaudio", "the PulseAudio client, through pipewire-pulse"),
                  ("pipewire", "pipewire", "SDL's PipeWire output")]
TONE_FRAMES = 2205  # bench_play's tone: 100 ms at MONITOR_RATE
# A recorded sample is dated by the recording's sample clock from the chunks' arrival, which
# runs up to a fragment ahead where the sink renders ahead: a tone that starts within a few
# milliseconds may be dated before its call. It is looked for from this long before the call
# (the plays are 2.5 s apart), and its delay reported as dated, sign and all.
DATED_EARLY_NS = 500_000_000
SUSPEND_WAIT_S = 10.0
# From the banner until the output sleeps: the ready sign's 1 s, then 1 to 1.5 s of quiet.
SETTLE_S = 3.0

TARGET_CPU_MS_PER_1000 = 20.0
TARGET_FIRST_SAMPLE_MS = 40.0
TARGET_CALL_MS = 0.1
TARGET_MEMORY_OVER_CLIP_BYTES = 8 * MIB


class NotMeasured(Exception):
    pass


# --- the machine -------------------------------------------------------------------------

def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                if key.strip() in ("model name", "Model", "Hardware"):
                    return value.strip()
    except OSError:
        pass
    return os.uname().machine


def cache_entry(build, name):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as cache:
            for line in cache:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return ""


def compiler(build):
    try:
        path = cache_entry(build, "CMAKE_CXX_COMPILER")
        out = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=10)
        return out.stdout.splitlines()[0]
    except (OSError, IndexError, subprocess.SubprocessError):
        return "unknown compiler"


def machine_lines(build):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    usable = len(os.sched_getaffinity(0))
    return [
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores ({usable} usable by the benchmark)",
        f"- Kernel: {os.uname().sysname} {os.uname().release} ({os.uname().machine})",
        f"- Build: {cache_entry(build, 'CMAKE_BUILD_TYPE') or 'unknown type'}, {compiler(build)}",
        f"- Date: {now}",
    ]


# --- one process on a pseudo-terminal ----------------------------------------------------

LIBC = ctypes.CDLL(None, use_errno=True)


class Run:
    """A started program: its process, the terminal's master side, and what it wrote."""

    def __init__(self, program, folder, environment):
        self.master, slave = os.openpty()
        env = dict(os.environ)
        env.update(environment)

        def own_the_terminal():
            # A new session with this terminal as its controlling one, as a login shell's job.
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.started_ns = time.monotonic_ns()
        try:
            self.proc = subprocess.Popen([program], cwd=folder, env=env, stdin=slave, stdout=slave,
                                         stderr=slave, start_new_session=True, preexec_fn=own_the_terminal)
        except BaseException:
            os.close(self.master)
            raise
        finally:
            os.close(slave)
        self.pid = self.proc.pid
        self.screen = b""
        self.rusage = None
        clock = ctypes.c_int()
        # The process's CPU clock: all its threads, also those already ended, to the nanosecond.
        self.cpu_clock = clock.value if LIBC.clock_getcpuclockid(self.pid, ctypes.byref(clock)) == 0 else None

    def read_until(self, marker, timeout_s):
        """Reads the terminal until marker appears; the monotonic time it was seen, in ns."""
        until = time.monotonic() + timeout_s
        while marker not in self.screen:
            left = until - time.monotonic()
            if left <= 0:
                raise NotMeasured(f"no {marker.decode()!r} within {timeout_s:g} s: {self.tail()}")
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                chunk = b""
            if not chunk:
                raise NotMeasured(f"the program ended before {marker.decode()!r}: {self.tail()}")
            self.screen += chunk
        return time.monotonic_ns()

    def drain(self):
        while select.select([self.master], [], [], 0)[0]:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return
            if not chunk:
                return
            self.screen += chunk

    def thread_cpu_ms(self):
        """CPU of each live thread by its name, from /proc/PID/task/*/schedstat (ns)."""
        threads = {}
        for task in os.listdir(f"/proc/{self.pid}/task"):
            try:
                with open(f"/proc/{self.pid}/task/{task}/comm") as comm:
                    name = comm.read().strip()
                with open(f"/proc/{self.pid}/task/{task}/schedstat") as stat:
                    ran_ns = int(stat.read().split()[0])
            except OSError:
                continue  # ended meanwhile
            key = "main" if task == str(self.pid) else name
            threads[key] = threads.get(key, 0) + ran_ns / 1e6
        return threads

    def tail(self):
        return repr(self.screen[-200:].decode(errors="replace"))

    def wait_key_mode(self):
        """Waits until the program reads keys one at a time, so that ESC reaches it as a key."""
        until = time.monotonic() + KEY_MODE_WAIT_S
        while termios.tcgetattr(self.master)[3] & termios.ICANON:
            if time.monotonic() > until:
                raise NotMeasured(f"the terminal never left line mode: {self.tail()}")
            time.sleep(0.002)

    def cpu_ns(self):
        if self.cpu_clock is None:
            return self.cpu_ticks() * 1e9 / os.sysconf("SC_CLK_TCK")
        return time.clock_gettime_ns(self.cpu_clock)

    def cpu_ticks(self):
        """utime+stime from /proc/PID/stat, in clock ticks."""
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rpartition(")")[2].split()
        return int(fields[11]) + int(fields[12])

    def status_kib(self, key):
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        raise NotMeasured(f"no {key} in /proc/{self.pid}/status")

    def quit(self):
        """Types ESC until the program ends; its exit status."""
        until = time.monotonic() + QUIT_WAIT_S
        next_esc = 0.0
        while self.rusage is None:
            now = time.monotonic()
            if now > until:
                self.kill()
                raise NotMeasured(f"ESC did not end the program within {QUIT_WAIT_S:g} s")
            if now >= next_esc:
                try:
                    os.write(self.master, ESC)
                except OSError:
                    pass
                next_esc = now + ESC_REPEAT_S
            self.drain()
            pid, status, usage = os.wait4(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.rusage = usage
                self.proc.returncode = os.waitstatus_to_exitcode(status)
            else:
                time.sleep(0.005)
        return self.proc.returncode

    def kill(self):
        if self.proc.returncode is None and self.rusage is None:
            self.proc.kill()
            self.proc.wait()

    def close(self):
        self.kill()
        os.close(self.master)


def started_at_banner(program, folder, environment):
    run = Run(program, folder, environment)
    try:
        run.read_until(BANNER_END, BANNER_WAIT_S)
        run.wait_key_mode()
    except BaseException:
        run.close()
        raise
    return run


# --- the measurements ----------------------------------------------------------------------

def clip_folder(build, clip=None):
    folder = tempfile.mkdtemp(prefix="sentry-bench-")
    try:
        if clip is None:
            shutil.copy(os.path.join(build, "others_05.wav"), os.path.join(folder, "others_05.wav"))
        else:
            with open(os.path.join(folder, "others_05.wav"), "wb") as out:
                out.write(clip)
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    return folder


def read_count(path):
    """The counted program's report count; read until two reads agree, as it keeps counting."""
    while True:
        with open(path, "rb") as f:
            first = f.read(8)
        with open(path, "rb") as f:
            second = f.read(8)
        if first == second and len(first) == 8:
            return struct.unpack("<Q", first)[0]


def measure_cpu(program, build, seconds, counted, sound=None, at_rest=False, server=None):
    """CPU of the whole process over `seconds` of streaming, from the banner on; into SDL's
    dummy output, or into a sound server: the environment that sound_server() gives. At rest
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
            threads0 = run.thread_cpu_ms()
            count0 = read_count(count_file) if counted else 0
            server0 = server.cpu_ms() if server else 0
            time.sleep(seconds)
            t1, cpu1, ticks1 = time.monotonic_ns(), run.cpu_ns(), run.cpu_ticks()
            threads1 = run.thread_cpu_ms()
            count1 = read_count(count_file) if counted else 0
            server1 = server.cpu_ms() if server else 0
            hwm_kib = run.status_kib("VmHWM")
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
            "tick_ms": (ticks1 - ticks0) * 1000 / os.sysconf("SC_CLK_TCK"),
            "reports": reports,
            "hwm_kib": hwm_kib,
            "precise": run.cpu_clock is not None,
            "server_cpu_ms": server1 - server0,
        }
        result["ms_per_1000"] = result["cpu_ms"] / (reports / 1000)
        if counted:
            total = read_count(count_file)
            life_ms = (run.rusage.ru_utime + run.rusage.ru_stime) * 1000
            result.update(total_reports=total, life_cpu_ms=life_ms, life_ms_per_1000=life_ms / (total / 1000))
        return result
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def measure_banner(program, build, runs, sound=None):
    """Start to banner, into SDL's dummy output or the sound given; `{}` stands for none."""
    folder = clip_folder(build)
    times_ms = []
    try:
        if sound == {}:
            # No server to find: none at these addresses, and an empty runtime folder.
            sound = {"XDG_RUNTIME_DIR": folder, "PULSE_SERVER": f"unix:{folder}/none"}
        for _ in range(runs):
            run = Run(program, folder, sound if sound is not None else {"SDL_AUDIODRIVER": "dummy"})
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


def figures_of(text):
    figures = {}
    for line in text.splitlines():
        name, _, value = line.partition("=")
        if value:
            figures[name] = float(value)
    return figures


def measure_play(bench_play, calls, trials):
    folder = tempfile.mkdtemp(prefix="sentry-bench-play-")
    try:
        out = subprocess.run([bench_play, folder, str(calls), str(trials)], capture_output=True,
                             text=True, timeout=600)
    except subprocess.TimeoutExpired:
        raise NotMeasured("bench_play did not finish within 600 s")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if out.returncode != 0:
        raise NotMeasured(f"bench_play: status {out.returncode}: {out.stderr.strip()[-300:]}")
    return figures_of(out.stdout)


class sound_server:
    """A private sound server with a null sink, for a `with` block: its clients' environment."""

    def __init__(self, kind):
        self.kind = kind
        self.folder = tempfile.mkdtemp(prefix=f"sentry-bench-{kind}-")

    def __enter__(self):
        out = subprocess.run(["bash", SOUND_SERVER, "start", self.kind, self.folder], capture_output=True,
                             text=True, timeout=60)
        if out.returncode != 0:
            self.__exit__()
            raise NotMeasured(f"{self.kind} did not start: {out.stderr.strip()[-300:]}")
        with open(os.path.join(self.folder, "env")) as settings:
            self.environment = dict(line.rstrip("\n").split("=", 1) for line in settings if "=" in line)
        with open(os.path.join(self.folder, "servers")) as servers:
            self.pids = [int(line) for line in servers if line.strip()]
        return self.environment

    def __exit__(self, *_):
        subprocess.run(["bash", SOUND_SERVER, "stop", self.folder], timeout=60)

    def cpu_ms(self):
        """The CPU time of the server's processes so far (utime + stime), in ms."""
        ticks = 0
        for pid in self.pids:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rpartition(")")[2].split()
            ticks += int(fields[11]) + int(fields[12])
        return ticks * 1000 / os.sysconf("SC_CLK_TCK")

    def sink_state(self):
        out = subprocess.run(["pactl", "list", "sinks", "short"], capture_output=True, text=True, timeout=10,
                             env={**os.environ, **self.environment})
        return out.stdout.split()[-1] if out.stdout.split() else ""

    def wait_suspended(self):
        until = time.monotonic() + SUSPEND_WAIT_S
        while self.sink_state() != "SUSPENDED":
            if time.monotonic() > until:
                raise NotMeasured(f"the {self.kind} sink did not suspend within {SUSPEND_WAIT_S:g} s")
            time.sleep(0.05)


class MonitorRecording:
    """The null sink's monitor recorded by parec, each chunk stamped on arrival."""

    def __init__(self, environment):
        env = dict(os.environ)
        env.update(environment)
        self.proc = subprocess.Popen(
            ["parec", "--raw", "--format=s16le", f"--rate={MONITOR_RATE}", "--channels=1",
             f"--latency-msec={MONITOR_LATENCY_MS}", "-d", MONITOR],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        self.data = bytearray()
        self.stamps = []  # (arrival ns, frames recorded up to the chunk's end)
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                return
            now = time.monotonic_ns()
            self.data += chunk
            self.stamps.append((now, len(self.data) // 2))

    def wait_for_samples(self):
        until = time.monotonic() + SINK_WAIT_S
        while not self.stamps:
            if time.monotonic() > until:
                raise NotMeasured(f"parec recorded nothing from {MONITOR} within {SINK_WAIT_S:g} s")
            time.sleep(0.01)

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.reader.join()

    def frames(self):
        """Each recorded sample with when it reached the monitor. A frame came at the latest when
        any chunk from its own on arrived, less the frames that followed it in the recording
        (which runs without gaps): the least of these bounds is taken."""
        frame_ns = 1e9 / MONITOR_RATE
        samples = memoryview(bytes(self.data[:len(self.data) // 2 * 2])).cast("h")
        bound = float("inf")
        bounds = []  # per chunk: the least of arrival - end * frame_ns over it and those after
        for at, end in reversed(self.stamps):
            bound = min(bound, at - end * frame_ns)
            bounds.append(bound)
        bounds.reverse()
        start = 0
        for (_, end), base in zip(self.stamps, bounds):
            for frame in range(start, end):
                yield samples[frame], base + frame * frame_ns
            start = end

    def first_loud_after(self, at_ns):
        """When the first tone sample reached the monitor after at_ns."""
        return next((at for sample, at in self.frames() if abs(sample) > LOUD and at >= at_ns), None)

    def first_loud_arrival(self, at_ns):
        """When the first chunk holding tone after at_ns arrived at the recorder."""
        samples = memoryview(bytes(self.data[:len(self.data) // 2 * 2])).cast("h")
        start = 0
        for arrival, end in self.stamps:
            if arrival >= at_ns and any(abs(samples[frame]) > LOUD for frame in range(start, end)):
                return arrival
            start = end
        return None

    def last_loud_after(self, at_ns):
        """When the last sample of the first stretch of tone after at_ns reached the monitor."""
        last = None
        for sample, at in self.frames():
            if abs(sample) > LOUD and at >= at_ns:
                last = at
            elif last is not None:
                break
        return last


def measure_first_sample(bench_play, kind, driver, trials):
    """From PlayAlertSound to the first sample at the server's null sink, per play."""
    folder = tempfile.mkdtemp(prefix="sentry-bench-play-")
    try:
        with sound_server(kind) as sound:
            recording = MonitorRecording(sound)
            try:
                recording.wait_for_samples()
                env = dict(os.environ)
                env.update(sound)
                env["SDL_AUDIODRIVER"] = driver
                out = subprocess.run([bench_play, folder, "--stamps", str(trials)], capture_output=True,
                                     text=True, timeout=600, env=env)
            finally:
                recording.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if out.returncode != 0:
        raise NotMeasured(f"bench_play: status {out.returncode}: {out.stderr.strip()[-300:]}")
    figures = [line.split("=", 1) for line in out.stdout.splitlines()]
    plays = [int(value) for name, value in figures if name == "play_ns"]
    calls_ms = [int(value) / 1e6 for name, value in figures if name == "call_ns"]
    dated_ms, arrived_ms = [], []
    for play in plays:
        heard = recording.first_loud_after(play - DATED_EARLY_NS)
        arrived = recording.first_loud_arrival(play)
        if heard is None or arrived is None:
            raise NotMeasured(f"a play on {kind} with SDL_AUDIODRIVER={driver} never reached the sink")
        dated_ms.append((heard - play) / 1e6)
        arrived_ms.append((arrived - play) / 1e6)
    if not dated_ms:
        raise NotMeasured("no play was stamped")
    return dated_ms, arrived_ms, calls_ms


def measure_first_sample_suspended(bench_play, trials):
    """From PlayAlertSound to the first sample at a PulseAudio null sink that had suspended, per
    play. Before each play the sink suspends (no recorder, the player's stream asleep); the
    recorder starts with the play, and may come in after the tone's first samples: the tone's
    start is told from its end."""
    folder = tempfile.mkdtemp(prefix="sentry-bench-play-")
    dated_ms, arrived_ms = [], []
    try:
        server = sound_server("pulseaudio")
        with server as sound:
            env = dict(os.environ)
            env.update(sound)
            env.pop("SDL_AUDIODRIVER", None)
            player = subprocess.Popen([bench_play, folder, "--on-input", str(trials)], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True, env=env)
            try:
                for _ in range(trials):
                    server.wait_suspended()
                    recording = MonitorRecording(sound)
                    try:
                        player.stdin.write("\n")
                        player.stdin.flush()
                        play = int(player.stdout.readline().split("=", 1)[1])
                        player.stdout.readline()  # call_ns
                        time.sleep(TONE_FRAMES / MONITOR_RATE + 0.5)
                    finally:
                        recording.stop()
                    end = recording.last_loud_after(play - DATED_EARLY_NS)
                    arrived = recording.first_loud_arrival(play)
                    if end is None or arrived is None:
                        raise NotMeasured("a play on a suspended sink never reached it")
                    dated_ms.append((end - (TONE_FRAMES - 1) * 1e9 / MONITOR_RATE - play) / 1e6)
                    arrived_ms.append((arrived - play) / 1e6)
            finally:
                player.stdin.close()
                player.wait(timeout=60)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return dated_ms, arrived_ms


def measure_cpu_at_rest(counted, build, seconds, rounds):
    """The remote at rest, the output asleep: the program's CPU into SDL's dummy driver and into
    each server, in turns; and each server's CPU over the program's window, and over as long a
    window with no client at all."""
    pulse, pipewire = sound_server("pulseaudio"), sound_server("pipewire")
    with pulse as pulse_sound, pipewire as pipewire_sound:
        targets = [("dummy", None, None), ("pulseaudio", pulse_sound, pulse),
                   ("pipewire-pulse", pipewire_sound, pipewire),
                   ("pipewire", {**pipewire_sound, "SDL_AUDIODRIVER": "pipewire"}, pipewire)]
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
            hwm_kib = run.status_kib("VmHWM")
            rss_kib = run.status_kib("VmRSS")
            anon_kib = run.status_kib("RssAnon")
            file_kib = run.status_kib("RssFile")
            run.quit()
        finally:
            run.close()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return {"clip_bytes": len(clip), "hwm_kib": hwm_kib, "rss_kib": rss_kib, "anon_kib": anon_kib,
            "file_kib": file_kib}


# --- the table -------------------------------------------------------------------------------

def by_thread(result):
    return ", ".join(f"{name} {ms:.1f} ms" for name, ms in sorted(result["threads_ms"].items()))


def met(ok):
    return "yes" if ok else "**no**"


def mib(kib):
    return f"{kib / 1024:.2f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--quick", action="store_true", help="short runs, few repetitions")
    parser.add_argument("--seconds", type=float, help="length of each CPU run (default 20, quick 3)")
    args = parser.parse_args()
    quick = args.quick
    seconds = args.seconds if args.seconds else (3.0 if quick else 20.0)
    banner_runs = 3 if quick else 11
    calls = 10000 if quick else 200000
    trials = 5 if quick else 30
    plays = 2 if quick else 20  # into each sound server: 2.5 s each
    suspended_plays = 1 if quick else 10
    rest_rounds = 1 if quick else 8  # of windows of at most 10 s: single runs spread by ±50 %
    hold_s = 1.0 if quick else 3.0
    floor_wakeups = int(REPORTS_PER_SECOND * min(seconds, 10.0))

    build = os.path.abspath(args.build)
    sim = os.path.join(build, "quillbramble-sentry-sim")
    counted = os.path.join(build, "bench", "bench_sentry_sim_counted")
    bench_play = os.path.join(build, "bench", "bench_play")
    bench_wake_floor = os.path.join(build, "bench", "bench_wake_floor")

    rows = []
    failures = []

    def attempt(title, measurement, show):
        print(f"measuring: {title} ...", file=sys.stderr, flush=True)
        try:
            show(measurement())
        except (NotMeasured, OSError, subprocess.SubprocessError) as error:
            failures.append(title)
            rows.append((title, f"not measured: {error}", "", "", ""))

    def show_counted(r):
        rows.append(("CPU per 1000 reports at 100/s, whole process",
                     f"**{r['ms_per_1000']:.2f} ms**", f"< {TARGET_CPU_MS_PER_1000:g} ms",
                     met(r["ms_per_1000"] < TARGET_CPU_MS_PER_1000),
                     f"{r['cpu_ms']:.1f} ms CPU over {r['reports']} reports counted in {r['window_s']:.1f} s "
                     f"({r['reports'] / r['window_s']:.1f}/s) from the banner on; /proc/PID/stat says "
                     f"{r['tick_ms']:.0f} ms in its 10 ms ticks; by thread: {by_thread(r)}. The simulated "
                     "remote's build, ReadReport wrapped at link time to count the reports it hands back"))
        rows.append(("CPU per 1000 reports, whole run with start-up and exit",
                     f"{r['life_ms_per_1000']:.2f} ms", f"< {TARGET_CPU_MS_PER_1000:g} ms",
                     met(r["life_ms_per_1000"] < TARGET_CPU_MS_PER_1000),
                     f"{r['life_cpu_ms']:.1f} ms CPU (wait4 rusage) over all {r['total_reports']} reports read; "
                     f"{r['startup_cpu_ms']:.1f} ms of it before the banner"))

    def show_floor(f):
        rows.append(("Floor: a bare thread woken 100/s from a timed wait",
                     f"{f['cpu_ms_per_1000']:.2f} ms per 1000 wake-ups", "", "",
                     f"{int(f['wakeups'])} wake-ups of `bench_wake_floor` (a condition variable's "
                     "wait_until, as the simulated remote holds each read until its report is due): what "
                     "this machine charges for the wake-ups alone"))

    def show_shipped(r):
        rows.append(("CPU per 1000 reports, `quillbramble-sentry-sim` as built",
                     f"{r['ms_per_1000']:.2f} ms", f"< {TARGET_CPU_MS_PER_1000:g} ms",
                     met(r["ms_per_1000"] < TARGET_CPU_MS_PER_1000),
                     f"{r['cpu_ms']:.1f} ms CPU in {r['window_s']:.1f} s (by thread: {by_thread(r)}), reports "
                     f"reckoned as {REPORTS_PER_SECOND}/s x that time (uncounted build)"))
        rows.append(("Peak resident memory, the project's own clip",
                     mib(r["hwm_kib"]), "", "",
                     f"VmHWM ({r['hwm_kib']} KiB) at the end of the CPU run above, for comparison with "
                     "the row below"))

    def show_banner(times_ms):
        rows.append(("Start to banner, remote streaming",
                     f"**{statistics.median(times_ms):.1f} ms** median", "", "",
                     f"{len(times_ms)} runs, {min(times_ms):.1f} to {max(times_ms):.1f} ms: from spawning "
                     "`quillbramble-sentry-sim` (fork and exec included) to its banner's last line on the "
                     "terminal; includes loading the clip, opening audio and the 100 ms-bounded probe"))

    def show_play(f):
        rows.append(("`PlayAlertSound` call time",
                     f"**{f['call_median_ns'] / 1e6:.6f} ms** median ({f['call_median_ns']:.0f} ns)", f"< {TARGET_CALL_MS:g} ms",
                     met(f["call_median_ns"] / 1e6 < TARGET_CALL_MS),
                     f"{int(f['calls'])} calls in a row while the device runs (SDL_AUDIODRIVER=disk): p99 "
                     f"{f['call_p99_ns']:.0f} ns, max {f['call_max_ns'] / 1e3:.1f} us; a bare pair of clock "
                     f"reads costs {f['clock_pair_median_ns']:.0f} ns, so the median is at the clock's floor"))
        rhythm = ""
        if "disk_chunk_median_bytes" in f:
            rhythm = (f"; the disk output came in chunks of {f['disk_chunk_median_bytes']:.0f} bytes every "
                      f"{f['disk_chunk_gap_median_ms']:.1f} ms ({f['disk_bytes_per_second']:.0f} B/s)")
        rows.append(("Play to first samples in SDL's disk output",
                     f"**{f['first_samples_median_ms']:.1f} ms** median", "", "",
                     f"{int(f['trials'])} starts at spread phases, {f['first_samples_min_ms']:.1f} to "
                     f"{f['first_samples_max_ms']:.1f} ms: from the call to the clip's first samples read "
                     "from the FIFO that SDL_AUDIODRIVER=disk writes (22050 Hz mono 16-bit, as the alert "
                     "clip). Includes the wait for the audio thread's next buffer and the disk driver's "
                     "stdio buffering of its writes" + rhythm))

    def show_memory(r):
        limit = r["clip_bytes"] + TARGET_MEMORY_OVER_CLIP_BYTES
        hwm = r["hwm_kib"] * 1024
        rows.append((f"Peak resident memory, clip of 0x{BIG_CLIP_BYTES:X} bytes",
                     f"**{mib(r['hwm_kib'])}** (clip + {(hwm - r['clip_bytes']) / MIB:.2f} MiB)",
                     f"< clip + 8 MiB = {limit / MIB:.2f} MiB", met(hwm < limit),
                     f"VmHWM of `quillbramble-sentry-sim` {hold_s:g} s after its banner ({r['hwm_kib']} KiB); "
                     f"then VmRSS {mib(r['rss_kib'])}, of it RssAnon {mib(r['anon_kib'])} (the process's own) "
                     f"and RssFile {mib(r['file_kib'])} (pages of its program and shared libraries); "
                     f"clip {r['clip_bytes']} bytes = {r['clip_bytes'] / MIB:.2f} MiB, a 16-bit PCM WAV "
                     "made for the run"))

    attempt("CPU, counted", lambda: measure_cpu(counted, build, seconds, True), show_counted)
    attempt("CPU, as built", lambda: measure_cpu(sim, build, seconds, False), show_shipped)
    attempt("wake-up floor", lambda: measure_floor(bench_wake_floor, floor_wakeups), show_floor)
    attempt("start to banner", lambda: measure_banner(sim, build, banner_runs), show_banner)
    attempt("PlayAlertSound", lambda: measure_play(bench_play, calls, trials), show_play)
    attempt("peak memory", lambda: measure_memory(sim, build, hold_s), show_memory)

    def show_first_sample(kind, driver, what):
        def show(figures):
            dated_ms, arrived_ms, calls_ms = figures
            bound = statistics.median(arrived_ms)
            rows.append((f"Play on a sleeping output to first sample at a {kind} null sink, {what}",
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
                         f"{statistics.median(calls_ms) * 1000:.1f} us median, {max(calls_ms) * 1000:.1f} us at most"))
        return show

    for kind, driver, what in SERVER_OUTPUTS:
        attempt(f"first sample, {kind} through {driver}",
                lambda: measure_first_sample(bench_play, kind, driver, plays), show_first_sample(kind, driver, what))

    def show_suspended(figures):
        dated_ms, arrived_ms = figures
        rows.append(("Play on a sleeping output to first sample at a PulseAudio null sink that had suspended",
                     f"**{statistics.median(arrived_ms):.1f} ms** median at most; dated "
                     f"{statistics.median(dated_ms):.1f} ms", "", "",
                     f"{len(arrived_ms)} plays, each once the sink read SUSPENDED; the recorder starts with the play "
                     f"(and wakes the sink too): its first chunk holding tone came {min(arrived_ms):.1f} to "
                     f"{max(arrived_ms):.1f} ms after the call, and the tone's start, dated from its end 100 ms "
                     f"later (the recorder may come in after the start), {min(dated_ms):.1f} to "
                     f"{max(dated_ms):.1f} ms"))

    attempt("first sample, suspended pulseaudio", lambda: measure_first_sample_suspended(bench_play, suspended_plays),
            show_suspended)

    def show_at_rest(results):
        dummy = statistics.median(r["ms_per_1000"] for r in results["dummy"])
        rows.append(("CPU per 1000 reports, remote at rest, output asleep: SDL's dummy driver",
                     f"**{dummy:.2f} ms** median", "", "",
                     f"{len(results['dummy'])} runs of {rest_seconds:g} s, "
                     + ", ".join(f"{r['ms_per_1000']:.2f}" for r in results["dummy"])
                     + f"; each {SETTLE_S:g} s after the banner (the ready sign played, the output asleep), "
                     "taking turns with the three rows below; the counted build with its remote held at rest, so "
                     f"that no fall sounds; by thread (last run): {by_thread(results['dummy'][-1])}"))
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

    rest_seconds = min(seconds, 10.0)
    attempt("CPU at rest", lambda: measure_cpu_at_rest(counted, build, rest_seconds, rest_rounds), show_at_rest)

    def show_banner_sound(what):
        def show(times_ms):
            rows.append((f"Start to banner, {what}", f"**{statistics.median(times_ms):.1f} ms** median", "", "",
                         f"{len(times_ms)} runs, {min(times_ms):.1f} to {max(times_ms):.1f} ms, SDL's default "
                         "output; compare with the row below or above"))
        return show

    def banner_into(kind):
        with sound_server(kind) as sound:
            return measure_banner(sim, build, banner_runs, sound)

    card = "a sound card" if os.path.exists("/proc/asound/cards") else "no sound card"
    attempt("start to banner, pulseaudio", lambda: banner_into("pulseaudio"),
            show_banner_sound(f"a PulseAudio server ({card})"))
    attempt("start to banner, no server", lambda: measure_banner(sim, build, banner_runs, {}),
            show_banner_sound(f"no sound server ({card}): \"Alert sound cannot be played.\""))

    mode = "quick run" if quick else "full run"
    print(f"### Benchmarks ({mode}; CPU runs of {seconds:g} s; SDL_AUDIODRIVER=dummy unless said)")
    print()
    print("\n".join(machine_lines(build)))
    print()
    print("| Measurement | Figure | Target | Met | How it was measured |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
    if failures:
        print(f"\nNot measured: {', '.join(failures)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
