"""Private desktop sound servers with a null sink, started and stopped by tools/sound_server.sh:
the environment that points a client at one, its processes' CPU, and its sink's state."""
import os
import subprocess
import tempfile
import time

import cpu_and_memory
from not_measured import NotMeasured

SOUND_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "sound_server.sh")
SUSPEND_WAIT_S = 10.0


class SoundServer:
    """A private sound server of a kind, pulseaudio or pipewire, for a `with` block."""

    def __init__(self, kind):
        self.kind = kind
        self.folder = tempfile.mkdtemp(prefix=f"sentry-bench-{kind}-")
        self.environment = {}
        self.pids = []

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
        return self

    def __exit__(self, *_):
        subprocess.run(["bash", SOUND_SERVER, "stop", self.folder], timeout=60)

    def cpu_ms(self):
        """The CPU time of the server's processes so far (utime + stime), in ms."""
        return cpu_and_memory.ticks_ms(sum(cpu_and_memory.cpu_ticks(pid) for pid in self.pids))

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
