"""A null sink's monitor recorded by parec, each chunk stamped as it arrives, and the alert's tone
found in it: when its first sample reached the monitor, dated by the recording's sample clock,
and when the first chunk holding it arrived at the recorder."""
import os
import subprocess
import threading
import time

from not_measured import NotMeasured

MONITOR = "sentry_sink.monitor"
MONITOR_RATE = 22050
MONITOR_LATENCY_MS = 5  # the recorder's fragment: how late a sample may be stamped
LOUD = 1000  # a tone sample; the silence between plays is 0
# An idle PulseAudio null sink renders seconds ahead, and a new stream waits that out; once a
# low-latency recorder has its first samples, the sink runs at the recorder's pace.
SINK_WAIT_S = 10.0


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

    def samples(self):
        return memoryview(bytes(self.data[:len(self.data) // 2 * 2])).cast("h")

    def frames(self):
        """Each recorded sample with when it reached the monitor. A frame came at the latest when
        any chunk from its own on arrived, less the frames that followed it in the recording
        (which runs without gaps): the least of these bounds is taken."""
        frame_ns = 1e9 / MONITOR_RATE
        samples = self.samples()
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
        samples = self.samples()
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
