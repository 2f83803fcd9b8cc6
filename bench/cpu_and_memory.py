"""Sampling a running process's CPU and memory from /proc and its CPU clock, and the report count
that the counted build keeps in a file."""
import ctypes
import os
import struct
import time

from not_measured import NotMeasured

LIBC = ctypes.CDLL(None, use_errno=True)


def cpu_clock(pid):
    """The process's CPU clock: all its threads, also those already ended, to the nanosecond;
    None where the system gives none."""
    clock = ctypes.c_int()
    return clock.value if LIBC.clock_getcpuclockid(pid, ctypes.byref(clock)) == 0 else None


def cpu_ticks(pid):
    """utime+stime from /proc/PID/stat, in clock ticks."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return int(fields[11]) + int(fields[12])


def ticks_ms(ticks):
    return ticks * 1000 / os.sysconf("SC_CLK_TCK")


def cpu_ns(pid, clock):
    """The process's CPU so far: from its CPU clock, or else from its ticks."""
    if clock is None:
        return ticks_ms(cpu_ticks(pid)) * 1e6
    return time.clock_gettime_ns(clock)


def thread_cpu_ms(pid):
    """CPU of each live thread by its name, from /proc/PID/task/*/schedstat (ns)."""
    threads = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/comm") as comm:
                name = comm.read().strip()
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                ran_ns = int(stat.read().split()[0])
        except OSError:
            continue  # ended meanwhile
        key = "main" if task == str(pid) else name
        threads[key] = threads.get(key, 0) + ran_ns / 1e6
    return threads


def status_kib(pid, key):
    """A figure of /proc/PID/status in KiB: VmHWM, VmRSS, RssAnon, RssFile."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise NotMeasured(f"no {key} in /proc/{pid}/status")


def read_count(path):
    """The counted program's report count; read until two reads agree, as it keeps counting."""
    while True:
        with open(path, "rb") as f:
            first = f.read(8)
        with open(path, "rb") as f:
            second = f.read(8)
        if first == second and len(first) == 8:
            return struct.unpack("<Q", first)[0]
