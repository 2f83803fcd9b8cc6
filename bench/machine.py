"""The machine the figures were measured on: CPU, kernel, build and date, as lines of Markdown."""
import datetime
import os
import subprocess


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
