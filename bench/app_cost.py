#!/usr/bin/env python3
"""What the whole application costs its user on the test desktop, as a table: cold start
to the status item shown (median of several starts), resident memory idle and after a
number of exposures, the share of one core idle, while measuring and with the popover
open, and wake-ups per second when idle; a well-liked Qt tray application (CopyQ) is
measured in the same desktop for comparison when it is installed, and so is the least Qt
Widgets program with the same 0.25 s timer (--floor), the floor under any idle figure.

    app_cost.py --app PATH --server PATH --campaigns FILE [--floor PATH] [--starts 10] [--seconds 60]
                [--exposures 30]

Runs inside scripts/desktop-session."""

import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "faults"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from earning_path import StepFailed, activate, stop, wait_until  # noqa: E402
from fault_harness import nudge_pointer, rss_mb, scenario  # noqa: E402


def cpu_seconds(pid):
    """CPU time of every thread, in nanoseconds' precision: /proc/PID/stat counts whole
    clock ticks (10 ms), too coarse for a share of a few hundredths of a percent."""
    total = 0
    for schedstat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(schedstat) as line:
                total += int(line.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total / 1e9


def switches(pid):
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as lines:
                total += sum(int(l.split()[1]) for l in lines if "ctxt_switches" in l)
        except OSError:
            pass
    return total


def measure(pid, seconds):
    """Share of one core (%) and wake-ups per second over `seconds`."""
    cpu, woken, start = cpu_seconds(pid), switches(pid), time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    return 100.0 * (cpu_seconds(pid) - cpu) / elapsed, (switches(pid) - woken) / elapsed


def visible_window(pid):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], capture_output=True, timeout=5)
    return found.returncode == 0 and found.stdout.strip() != b""


def cold_starts(arguments, count):
    times = []
    for _ in range(count):
        work = tempfile.mkdtemp(prefix="nimbrella-bench-")
        environment = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"),
                           XDG_CONFIG_HOME=os.path.join(work, "config"), LANGUAGE="en")
        started = time.monotonic()
        app = subprocess.Popen([arguments.app, "--server", "http://127.0.0.1:9"], env=environment,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until("the status item", lambda: visible_window(app.pid), 20)
        times.append((time.monotonic() - started) * 1000)
        stop([app])
        shutil.rmtree(work, ignore_errors=True)
    return statistics.median(times)


def peer_rows(name, command, seconds):
    """Another program's idle figures, measured in the same desktop as the application's."""
    peer = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(10)
        cpu, wakeups = measure(peer.pid, seconds)
        return [(f"{name}: RSS idle", f"{rss_mb(peer.pid):.1f} MB", ""),
                (f"{name}: CPU idle ({seconds:.0f} s)", f"{cpu:.3f} %", ""),
                (f"{name}: wake-ups per second idle", f"{wakeups:.1f}", "")]
    finally:
        stop([peer])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--campaigns", required=True)
    parser.add_argument("--floor", help="the least Qt program with the same timer, measured beside the application")
    parser.add_argument("--starts", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--exposures", type=int, default=30)
    parser.add_argument("--timeout", type=float, default=40)
    arguments = parser.parse_args()
    rows = []

    rows.append(("cold start to the status item shown (median)", f"{cold_starts(arguments, arguments.starts):.0f} ms",
                 "under 300 ms"))

    with scenario(arguments, "bench") as world:
        # Idle: a computer not connected, its controls closed.
        log = world.launch()
        log.wait_for("the controls", lambda line: "controls: open" in line, arguments.timeout)
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
        time.sleep(5)
        idle_cpu, idle_wakeups = measure(world.app.pid, arguments.seconds)
        rows.append(("RSS idle", f"{rss_mb(world.app.pid):.1f} MB", "under 40 MB"))
        rows.append((f"CPU idle ({arguments.seconds:.0f} s)", f"{idle_cpu:.3f} %", "under 0.05 %"))
        rows.append(("wake-ups per second idle", f"{idle_wakeups:.1f}", "4 (the 0.25 s timer)"))

        # Measuring: connected, sponsors on.
        activate("connect")
        log.wait_for("pairing", lambda line: "Connected. Sponsors are enabled." in line, arguments.timeout)
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
        log.wait_for("a sponsored item", lambda line: "Sponsored name displayed" in line, arguments.timeout)
        measuring_cpu, _ = measure(world.app.pid, arguments.seconds)
        rows.append((f"CPU while measuring ({arguments.seconds:.0f} s)", f"{measuring_cpu:.2f} %", "under 1 %"))

        activate()
        log.wait_for("the popover", lambda line: "controls: open" in line, arguments.timeout)
        popover_cpu, _ = measure(world.app.pid, arguments.seconds)
        rows.append((f"CPU with the popover open ({arguments.seconds:.0f} s)", f"{popover_cpu:.2f} %", ""))
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)

        deadline = time.monotonic() + arguments.exposures * 90 + 60
        step = 1
        while world.credited() < arguments.exposures:
            if time.monotonic() > deadline:
                raise StepFailed(f"{world.credited()} of {arguments.exposures} exposures credited in time")
            nudge_pointer(step)
            step = -step
            time.sleep(20)
        rows.append((f"RSS after {arguments.exposures} exposures", f"{rss_mb(world.app.pid):.1f} MB", "under 40 MB"))

    copyq = shutil.which("copyq")
    if copyq:
        rows += peer_rows("CopyQ", [copyq], arguments.seconds)
    if arguments.floor:
        rows += peer_rows("Qt floor (a window and a 0.25 s timer)", [arguments.floor], arguments.seconds)

    width = max(len(r[0]) for r in rows)
    print(f"| {'measure'.ljust(width)} | result | goal |\n|{'-' * (width + 2)}|---|---|")
    for name, value, goal in rows:
        print(f"| {name.ljust(width)} | {value} | {goal} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
