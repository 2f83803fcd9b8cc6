"""The alert sound's figures, from bench_play: PlayAlertSound's call time and the delay to the
first samples in SDL's disk output; and, into a sound server's null sink recorded at its monitor,
the delay from a play on a sleeping output to its first sample, also on a suspended sink."""
import os
import shutil
import subprocess
import tempfile
import time

from not_measured import NotMeasured
from program_figures import figures_of
from sink_recording import MONITOR_RATE, MonitorRecording

TONE_FRAMES = 2205  # bench_play's tone: 100 ms at MONITOR_RATE
# A recorded sample is dated by the recording's sample clock from the chunks' arrival, which
# runs up to a fragment ahead where the sink renders ahead: a tone that starts within a few
# milliseconds may be dated before its call. It is looked for from this long before the call
# (the plays are 2.5 s apart), and its delay reported as dated, sign and all.
DATED_EARLY_NS = 500_000_000


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


def measure_first_sample(bench_play, server, driver, trials):
    """From PlayAlertSound to the first sample at the server's null sink, per play."""
    folder = tempfile.mkdtemp(prefix="sentry-bench-play-")
    try:
        recording = MonitorRecording(server.environment)
        try:
            recording.wait_for_samples()
            env = dict(os.environ)
            env.update(server.environment)
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
            raise NotMeasured(f"a play on {server.kind} with SDL_AUDIODRIVER={driver} never reached the sink")
        dated_ms.append((heard - play) / 1e6)
        arrived_ms.append((arrived - play) / 1e6)
    if not dated_ms:
        raise NotMeasured("no play was stamped")
    return dated_ms, arrived_ms, calls_ms


def measure_first_sample_suspended(bench_play, server, trials):
    """From PlayAlertSound to the first sample at a PulseAudio null sink that had suspended, per
    play. Before each play the sink suspends (no recorder, the player's stream asleep); the
    recorder starts with the play, and may come in after the tone's first samples: the tone's
    start is told from its end."""
    folder = tempfile.mkdtemp(prefix="sentry-bench-play-")
    dated_ms, arrived_ms = [], []
    try:
        env = dict(os.environ)
        env.update(server.environment)
        env.pop("SDL_AUDIODRIVER", None)
        player = subprocess.Popen([bench_play, folder, "--on-input", str(trials)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, text=True, env=env)
        try:
            for _ in range(trials):
                server.wait_suspended()
                recording = MonitorRecording(server.environment)
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
