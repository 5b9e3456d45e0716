#!/usr/bin/env python3
"""The nimbrella executable's life on the test desktop, against the development server
(approving connections by itself): a second launch brings up the first copy's controls
and ends; a quit by SIGTERM while a signed completion waits for the server leaves it in
the keyring, and the next launch confirms it.

    app_lifecycle.py --app PATH --server PATH [--timeout SECONDS]
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from earning_path import (Lines, StepFailed, activate, capture_browser, free_port, say, stop, wait_until,  # noqa: E402
                          wait_until_listening)


def pending_completion_stored():
    found = subprocess.run(["secret-tool", "lookup", "service", "app.nimbrella.Nimbrella",
                            "account", "pending-completion-v1"], capture_output=True, timeout=10)
    return found.returncode == 0 and len(found.stdout) > 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    arguments = parser.parse_args()
    timeout = arguments.timeout

    work = tempfile.mkdtemp(prefix="nimbrella-lifecycle-")
    port = free_port()
    origin = f"http://127.0.0.1:{port}"
    capture_browser(work, "/bin/true")
    environment = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"),
                       XDG_CONFIG_HOME=os.path.join(work, "config"), LANGUAGE="en")
    processes = []

    def launch():
        process = subprocess.Popen([arguments.app, "--server", origin], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, env=environment)
        processes.append(process)
        return process, Lines(process.stdout)

    step = "start"
    try:
        server = subprocess.Popen([arguments.server, "--port", str(port), "--db", os.path.join(work, "server.sqlite"),
                                   "--auto-approve", "--poll-interval", "2"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(server)
        if not wait_until_listening(server, port, timeout):
            raise StepFailed(f"the development server exited with {server.returncode}")

        step = "first launch opens its controls by itself"
        first, log = launch()
        log.wait_for("the controls of an unpaired computer", lambda line: "controls: open" in line, timeout)

        step = "a second launch brings up the first copy's controls and ends"
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
        log.wait_for("the controls closing", lambda line: "controls: closed" in line, timeout)
        opened = sum("controls: open" in line for line in log.lines)
        second = subprocess.run([arguments.app, "--server", origin], env=dict(environment, DESKTOP_STARTUP_ID="e2e-1"),
                                capture_output=True, timeout=timeout)
        if second.returncode != 0:
            raise StepFailed(f"the second launch ended with status {second.returncode}: {second.stdout!r}")
        wait_until("the first copy's controls", lambda: sum("controls: open" in l for l in log.lines) > opened, timeout)
        say("a second launch showed the running copy's controls and ended with status 0")

        step = "pair and earn while the server stalls its answer"
        activate("connect")
        log.wait_for("pairing", lambda line: "Connected. Sponsors are enabled." in line, timeout)
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
        log.wait_for("a sponsored item", lambda line: "Sponsored name displayed" in line, timeout)
        # The server stops answering before the exposure completes: the signed
        # completion is stored and sent, and its answer never comes.
        time.sleep(3)
        server.send_signal(signal.SIGSTOP)
        log.wait_for("the stored completion", lambda line: "Confirming the menu-bar exposure" in line, timeout)
        wait_until("the completion in the keyring", pending_completion_stored, timeout)

        step = "SIGTERM keeps the signed completion"
        first.send_signal(signal.SIGTERM)
        status = first.wait(timeout=timeout)
        if status != 0:
            raise StepFailed(f"nimbrella ended with status {status} after SIGTERM")
        if not pending_completion_stored():
            raise StepFailed("the signed completion is gone from the keyring after the quit")
        if not any("Nimbrella was quit." in line for line in log.lines):
            raise StepFailed("the quit did not interrupt the exposure")
        say("quit by SIGTERM; the signed completion stayed in the keyring")

        step = "the next launch confirms it"
        server.send_signal(signal.SIGCONT)
        _, again = launch()
        again.wait_for("the restored confirmation", lambda line: "Restoring the previous exposure" in line, timeout)
        again.wait_for("the confirmed receipt", lambda line: "recorded for the menu-bar exposure." in line, timeout)
        wait_until("the keyring record deleted", lambda: not pending_completion_stored(), timeout)
        say("the next launch confirmed the stored completion")
        return 0
    except (StepFailed, subprocess.SubprocessError, OSError) as failure:
        print(f"app lifecycle FAILED at '{step}': {failure}", file=sys.stderr, flush=True)
        return 1
    finally:
        stop(processes)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
