#!/usr/bin/env python3
"""A long run of the real program against the development server behind the fault
proxy, with faults injected at random (seeded and printed): slow answers, resets,
truncated answers, 5xx bursts, the server gone for two minutes, the server or the
application killed and restarted. Ends once both the duration and the number of
credited exposures are reached, and passes when the server's credited count equals the
number of receipts the application was told were credited, no unconfirmed receipt is
left, and the application's memory and open descriptors stayed flat (growth of at most
5 MB and 5 descriptors after a run's first five minutes).

    soak.py --app PATH --server PATH --campaigns FILE [--minutes 20] [--exposures 50] [--seed N]"""

import argparse
import json
import os
import random
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fault_harness import COMPLETE, FaultProxy, keyring_record, nudge_pointer, rss_mb, scenario  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from earning_path import StepFailed, say, wait_until  # noqa: E402


class CountingProxy(FaultProxy):
    """Also keeps the receipt of every accepted completion answer the application got."""

    def __init__(self, server_port):
        super().__init__(server_port)
        self.told = set()

    def delivered(self, path, answer):
        if path != COMPLETE:
            return
        try:
            body = json.loads(answer.split(b"\r\n\r\n", 1)[1])
        except (ValueError, IndexError):
            return
        if body.get("status") == "accepted" and body.get("receiptId"):
            self.told.add(body["receiptId"])


def usage(pid):
    return rss_mb(pid), len(os.listdir(f"/proc/{pid}/fd"))


def soak(world, arguments, rng):
    started = time.monotonic()
    worst = (0.0, 0)
    world.pair_and_show(arguments.timeout)
    app_started, baseline = time.monotonic(), None
    # A failed request for an item waits five minutes before the next: faults come
    # every two to five minutes, and the long outage once.
    next_fault = time.monotonic() + rng.uniform(120, 300)
    outage_done = False
    while True:
        elapsed = time.monotonic() - started
        credited = world.credited()
        if elapsed >= arguments.minutes * 60 and credited >= arguments.exposures:
            break
        if elapsed >= arguments.limit_minutes * 60:
            raise StepFailed(f"only {credited} exposures credited in {elapsed / 60:.0f} minutes")
        if world.app.poll() is not None:
            raise StepFailed(f"nimbrella ended by itself with status {world.app.returncode}")
        rss, fds = usage(world.app.pid)
        if time.monotonic() - app_started >= 300:
            if baseline is None:
                baseline = (rss, fds)
            worst = (max(worst[0], rss - baseline[0]), max(worst[1], fds - baseline[1]))
        if int(elapsed) % 20 == 0:
            nudge_pointer(1 if int(elapsed) % 40 else -1)
        if time.monotonic() >= next_fault:
            choices = ["latency", "reset", "truncate", "503", "500", "kill-app", "kill-server"]
            fault = rng.choice(choices if outage_done else choices + ["gone"])
            say(f"soak: {elapsed / 60:.1f} min, {credited} credited, RSS {rss:.1f} MB, {fds} fds; fault {fault}")
            proxy = world.proxy
            if fault == "latency":
                proxy.latency = rng.uniform(0.2, 2.0)
            elif fault in ("reset", "truncate", "503", "500"):
                proxy.faults = [fault] * rng.randint(1, 3)
            elif fault == "gone":
                outage_done = True
                proxy.gone = True
                time.sleep(arguments.outage)
                proxy.gone = False
            elif fault == "kill-app":
                world.kill_app()
                world.launch()
                app_started, baseline = time.monotonic(), None
            elif fault == "kill-server":
                world.server.send_signal(signal.SIGKILL)
                world.server.wait(timeout=10)
                world.start_server()
            proxy.latency = 0.0 if fault != "latency" else proxy.latency
            next_fault = time.monotonic() + rng.uniform(120, 300)
        time.sleep(1)

    world.proxy.latency, world.proxy.faults = 0.0, []
    wait_until("the last receipt confirmed", lambda: not keyring_record("pending-completion-v1"), 120)
    credited = world.credited()
    told = len(world.proxy.told)
    say(f"soak: {(time.monotonic() - started) / 60:.1f} min, {credited} credited, {told} told to the application, "
        f"growth after five minutes {worst[0]:.1f} MB and {worst[1]} descriptors")
    if credited != told:
        raise StepFailed(f"the server credited {credited} exposures, the application was told of {told}")
    if worst[0] > 5 or worst[1] > 5:
        raise StepFailed(f"the application grew by {worst[0]:.1f} MB and {worst[1]} descriptors")
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--campaigns", required=True)
    parser.add_argument("--minutes", type=float, default=20)
    parser.add_argument("--exposures", type=int, default=50)
    parser.add_argument("--limit-minutes", type=float, default=90)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--timeout", type=float, default=40)
    arguments = parser.parse_args()
    arguments.outage = 120
    rng = random.Random(arguments.seed)
    say(f"soak: seed {arguments.seed}, at least {arguments.minutes:.0f} min and {arguments.exposures} exposures")

    try:
        with scenario(arguments, "soak", CountingProxy) as world:
            return soak(world, arguments, rng)
    except (StepFailed, OSError) as failure:
        print(f"soak FAILED (seed {arguments.seed}): {failure}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
