"""The program run at a pseudo-terminal of its own, as at a console, through pexpect: its banner
read from the terminal, ESC typed into it once it reads keys one at a time, and the CPU it used
over its whole life once it has ended."""
import os
import resource
import shutil
import tempfile
import termios
import time

import pexpect

import cpu_and_memory
from not_measured import NotMeasured

BANNER_END = b"Home button  ... Quit"
ESC = b"\x1b"
BANNER_WAIT_S = 10.0
KEY_MODE_WAIT_S = 3.0
QUIT_WAIT_S = 5.0
ESC_REPEAT_S = 0.5  # ESC is typed again while the program has not quit


class ProgramAtPty:
    """A started program: its pexpect child (whose pty is its controlling terminal), when it
    was started, and once it has quit, its CPU over its whole life (rusage at its reaping)."""

    def __init__(self, program, folder, environment):
        env = dict(os.environ)
        env.update(environment)
        self.started_ns = time.monotonic_ns()
        self.child = pexpect.spawn(program, [], cwd=folder, env=env, timeout=None)
        self.child.delaybeforesend = None
        self.pid = self.child.pid
        self.cpu_clock = cpu_and_memory.cpu_clock(self.pid)
        self.life_cpu_ms = None
        self.returncode = None

    def read_until(self, marker, timeout_s):
        """Reads the terminal until marker appears; the monotonic time it was seen, in ns."""
        try:
            self.child.expect_exact(marker, timeout=timeout_s)
        except pexpect.TIMEOUT:
            raise NotMeasured(f"no {marker.decode()!r} within {timeout_s:g} s: {self.tail()}")
        except pexpect.EOF:
            raise NotMeasured(f"the program ended before {marker.decode()!r}: {self.tail()}")
        return time.monotonic_ns()

    def tail(self):
        seen = self.child.before if isinstance(self.child.before, bytes) else b""
        return repr(seen[-200:].decode(errors="replace"))

    def wait_key_mode(self):
        """Waits until the program reads keys one at a time, so that ESC reaches it as a key."""
        until = time.monotonic() + KEY_MODE_WAIT_S
        while termios.tcgetattr(self.child.child_fd)[3] & termios.ICANON:
            if time.monotonic() > until:
                raise NotMeasured(f"the terminal never left line mode: {self.tail()}")
            time.sleep(0.002)

    def cpu_ns(self):
        return cpu_and_memory.cpu_ns(self.pid, self.cpu_clock)

    def cpu_ticks(self):
        return cpu_and_memory.cpu_ticks(self.pid)

    def quit(self):
        """Types ESC until the program ends; its exit status. Its life's CPU is what the reaped
        children's rusage grew by meanwhile: this process reaps no other child in between."""
        reaped_before = resource.getrusage(resource.RUSAGE_CHILDREN)
        until = time.monotonic() + QUIT_WAIT_S
        while True:
            if time.monotonic() > until:
                self.kill()
                raise NotMeasured(f"ESC did not end the program within {QUIT_WAIT_S:g} s")
            try:
                self.child.send(ESC)
            except OSError:
                pass
            try:
                self.child.expect(pexpect.EOF, timeout=ESC_REPEAT_S)  # reads what it writes meanwhile
                break
            except pexpect.TIMEOUT:
                continue
        self.child.wait()
        reaped = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.life_cpu_ms = (reaped.ru_utime - reaped_before.ru_utime + reaped.ru_stime - reaped_before.ru_stime) * 1000
        self.returncode = self.child.exitstatus if self.child.exitstatus is not None else -self.child.signalstatus
        return self.returncode

    def kill(self):
        if self.child.isalive():
            self.child.terminate(force=True)

    def close(self):
        self.kill()
        self.child.close(force=True)


def started_at_banner(program, folder, environment):
    run = ProgramAtPty(program, folder, environment)
    try:
        run.read_until(BANNER_END, BANNER_WAIT_S)
        run.wait_key_mode()
    except BaseException:
        run.close()
        raise
    return run


def clip_folder(build, clip=None):
    """A folder of its own for a run, holding the build's clip or the bytes given as others_05.wav."""
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
