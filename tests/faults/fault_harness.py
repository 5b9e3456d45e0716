#!/usr/bin/env python3
"""The real nimbrella program killed at the points where a reward could be lost or
credited twice, and its network broken in the ways networks break, against the real
development server behind a fault proxy on loopback. After each fault (and a restart),
every signed exposure is credited exactly once (the server's receipts table) and no
unconfirmed receipt is left in the keyring.

    fault_harness.py --app PATH --server PATH --campaigns FILE [--timeout S] [--outage S] [--only NAME]...

Runs inside scripts/desktop-session (X display, session bus, unlocked keyring)."""

import argparse
import contextlib
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from earning_path import (Lines, StepFailed, activate, capture_browser, free_port, say, stop, wait_until,  # noqa: E402
                          wait_until_listening)

COMPLETE = "/api/exposures/complete"
SERVICE = "app.nimbrella.Nimbrella"


class FaultProxy:
    """Forwards each HTTP request to the server on its own connection. `mode` decides
    what happens to completions: "pass", "hold" (never forwarded, never answered) or
    "swallow" (forwarded; the server's answer never reaches the application). Any
    other request is forwarded; when the server is gone the application gets a 502."""

    def __init__(self, server_port):
        self.server_port = server_port
        self.latency = 0.0      # seconds added before every request is forwarded
        self.gone = False       # every connection closed at once, as a server that is down
        self.faults = []        # what happens to the next completions: reset, truncate, 500, 503
        self.mode = "pass"
        self.completions_seen = 0
        self.errors = []        # why each 502 was given
        self.released = threading.Event()  # held requests end, their connections closed
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    @staticmethod
    def _read_request(client):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = client.recv(65536)
            if not chunk:
                return None
            data += chunk
        head, body = data.split(b"\r\n\r\n", 1)
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(body) < length:
            chunk = client.recv(65536)
            if not chunk:
                return None
            body += chunk
        return head, body

    def _serve(self, client):
        with client:
            if self.gone:
                return
            request = self._read_request(client)
            if request is None:
                return
            head, body = request
            path = head.split(b" ")[1].split(b"?")[0].decode()
            mode = self.mode if path == COMPLETE else "pass"
            if path == COMPLETE:
                self.completions_seen += 1
                if self.faults:
                    mode = self.faults.pop(0)
            time.sleep(self.latency)
            if mode == "reset":  # the connection torn down before the server sees anything
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                return
            if mode in ("500", "503"):
                client.sendall(f"HTTP/1.1 {mode} Unavailable\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{{}}".encode())
                return
            if mode == "hold":
                self.released.wait(600)
                return
            lines = [l for l in head.split(b"\r\n") if not l.lower().startswith(b"connection:")]
            forwarded = b"\r\n".join(lines) + b"\r\nConnection: close\r\n\r\n" + body
            try:
                with socket.create_connection(("127.0.0.1", self.server_port), timeout=30) as upstream:
                    upstream.sendall(forwarded)
                    answer = b""
                    while chunk := upstream.recv(65536):
                        answer += chunk
            except OSError as error:
                self.errors.append(f"{time.strftime('%H:%M:%S')} {path}: {error!r}")
                answer = b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"
            if mode == "swallow":
                self.released.wait(600)
                return
            if mode == "truncate":  # the server's answer cut off halfway
                client.sendall(answer[: len(answer) // 2])
                return
            self.delivered(path, answer)
            client.sendall(answer)

    def delivered(self, path, answer):
        """Called with every answer the application gets in full."""


class World:
    """One server database, one server behind one proxy, and the application's runs."""

    def __init__(self, arguments, work, proxy_type=None):
        self.arguments = arguments
        self.work = work
        self.processes = []
        self.server_port = free_port()
        self.proxy = (proxy_type or FaultProxy)(self.server_port)
        self.origin = f"http://127.0.0.1:{self.proxy.port}"
        self.database = os.path.join(work, "server.sqlite")
        self.environment = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"),
                                XDG_CONFIG_HOME=os.path.join(work, "config"), LANGUAGE="en")
        self.campaigns = os.path.join(work, "campaigns.json")
        with open(arguments.campaigns) as sample, open(self.campaigns, "w") as single:
            # One ten-second campaign without limits keeps every case short.
            campaigns = [c for c in json.load(sample)["campaigns"]
                         if c.get("termsVersion") == "brand-v1" and c.get("active") and "dailyLimit" not in c]
            json.dump({"campaigns": campaigns[:1]}, single)

    def start_server(self):
        """Starts the server and returns once it listens: a request the application sends
        before that would meet the proxy's 502 and fail a case for the wrong reason. The
        port from free_port() can be taken by another socket before the server binds it;
        the server then moves to another port (the application only knows the proxy's)."""
        self.server_log = os.path.join(self.work, "server.log")
        for attempt in range(3):
            with open(self.server_log, "ab") as output:
                self.server = subprocess.Popen(
                    [self.arguments.server, "--port", str(self.server_port), "--db", self.database, "--auto-approve",
                     "--poll-interval", "2", "--origin", self.origin, "--campaigns", self.campaigns],
                    stdout=output, stderr=subprocess.STDOUT)
            self.processes.append(self.server)
            if wait_until_listening(self.server, self.server_port, 30):
                return
            self.keep_server_output()
            if attempt == 2 or "cannot listen" not in "\n".join(self.server_lines[-3:]):
                said = self.server_lines[-1] if self.server_lines else "nothing"
                raise StepFailed(f"the development server exited with {self.server.returncode}, saying {said}")
            self.server_port = self.proxy.server_port = free_port()

    def keep_server_output(self):
        """What the server printed, kept in memory before the work directory goes."""
        try:
            with open(self.server_log, errors="replace") as output:
                self.server_lines = output.read().splitlines()
        except (AttributeError, OSError):
            self.server_lines = []

    def launch(self):
        self.app = subprocess.Popen([self.arguments.app, "--server", self.origin], stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, env=self.environment)
        self.processes.append(self.app)
        self.log = Lines(self.app.stdout)
        return self.log

    def kill_app(self):
        self.app.send_signal(signal.SIGKILL)
        self.app.wait(timeout=10)

    def pass_completions(self):
        self.proxy.mode = "pass"
        self.proxy.released.set()

    def credited(self):
        try:
            with sqlite3.connect(f"file:{self.database}?mode=ro", uri=True, timeout=5) as db:
                return db.execute("SELECT COUNT(*) FROM receipts").fetchone()[0]
        except sqlite3.Error:
            return -1

    def pair_and_show(self, timeout):
        log = self.launch()
        log.wait_for("the controls of an unpaired computer", lambda line: "controls: open" in line, timeout)
        activate("connect")
        log.wait_for("pairing", lambda line: "Connected. Sponsors are enabled." in line, timeout)
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
        log.wait_for("a sponsored item", lambda line: "Sponsored name displayed" in line, timeout)


@contextlib.contextmanager
def scenario(arguments, name, proxy_type=None):
    """A fresh world with nothing in the keyring, taken down whatever happens."""
    work = tempfile.mkdtemp(prefix=f"nimbrella-{name}-")
    capture_browser(work, "/bin/true")
    forget_everything()
    world = World(arguments, work, proxy_type)
    try:
        world.start_server()
        yield world
    finally:
        stop(world.processes)
        world.keep_server_output()
        world.proxy.listener.close()
        forget_everything()
        shutil.rmtree(work, ignore_errors=True)


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024.0


def nudge_pointer(step):
    """Input from someone at the computer: without any for five minutes nothing is shown.
    Alternate the sign of `step` so that the pointer stays where it was."""
    subprocess.run(["xdotool", "mousemove_relative", "--", str(step), "0"], capture_output=True, timeout=10)


def keyring_record(account):
    found = subprocess.run(["secret-tool", "lookup", "service", SERVICE, "account", account],
                           capture_output=True, timeout=10)
    return found.returncode == 0 and len(found.stdout) > 0


def forget_everything():
    subprocess.run(["secret-tool", "clear", "service", SERVICE], capture_output=True, timeout=10)


def confirmed_after_restart(world, timeout):
    log = world.launch()
    log.wait_for("the restored completion", lambda line: "Restoring the previous exposure" in line, timeout)
    wait_until("the unconfirmed receipt leaving the keyring", lambda: not keyring_record("pending-completion-v1"),
               timeout)


def killed_with_completion(mode, what, reached):
    """A case: the application is killed once `reached` holds with completions in `mode`,
    then restarted with completions passing; it confirms the stored receipt."""
    def case(world, timeout):
        world.proxy.mode = mode
        world.pair_and_show(timeout)
        wait_until(what, lambda: reached(world), timeout)
        world.kill_app()
        world.pass_completions()
        confirmed_after_restart(world, timeout)
        return 1
    return case


def stored_before_sent(world):
    if world.proxy.completions_seen < 1:
        return False
    if not keyring_record("pending-completion-v1"):
        raise StepFailed("a completion was sent before it was stored")
    return True


# Killed after the completion is signed and stored, before it reaches the server; and
# after the server credited it, before the application heard so.
stored_not_sent = killed_with_completion("hold", "the completion sent", stored_before_sent)
accepted_not_deleted = killed_with_completion("swallow", "the server's credit", lambda world: world.credited() == 1)


def server_killed_before_commit(world, timeout):
    """The server dies with the completion in flight and comes back."""
    world.proxy.mode = "hold"
    world.pair_and_show(timeout)
    wait_until("the completion sent", lambda: world.proxy.completions_seen >= 1, timeout)
    world.server.send_signal(signal.SIGKILL)
    world.server.wait(timeout=10)
    world.pass_completions()  # the held request fails now; the retry meets the restarted server
    world.start_server()
    world.log.wait_for("the confirmation after the server's restart",
                       lambda line: "recorded for the menu-bar exposure." in line, timeout + 20)
    wait_until("the keyring record deleted", lambda: not keyring_record("pending-completion-v1"), timeout)
    return 1


def killed_while_connecting(world, timeout):
    """Killed while a browser connection waits for approval: the next start resumes it."""
    log = world.launch()
    log.wait_for("the controls of an unpaired computer", lambda line: "controls: open" in line, timeout)
    activate("connect")
    wait_until("the pending connection in the keyring", lambda: keyring_record("pending-authorization-v1"), timeout)
    world.server.send_signal(signal.SIGSTOP)  # its first poll stays unanswered until after the kill
    world.kill_app()
    world.server.send_signal(signal.SIGCONT)
    log = world.launch()
    log.wait_for("the resumed connection", lambda line: "Connected." in line, timeout)
    if keyring_record("pending-authorization-v1"):
        raise StepFailed("the pending connection was kept after it was approved")
    return 0


def confirmed(world):
    return sum("recorded for the menu-bar exposure." in line for line in world.log.lines)


def flaky_network(world, timeout):
    """Slow answers, a reset, a truncated answer and a 503: the same receipt is retried
    until it is credited, once, and the status says a confirmation is awaited."""
    world.proxy.latency = 0.3
    world.proxy.faults = ["reset", "truncate", "503"]
    world.pair_and_show(timeout)
    world.log.wait_for("the waiting status", lambda line: "Exposure confirmation is unavailable." in line, timeout)
    world.log.wait_for("the confirmation", lambda line: "recorded for the menu-bar exposure." in line, timeout + 60)
    if confirmed(world) != 1:
        raise StepFailed(f"{confirmed(world)} confirmations shown for one exposure")
    return 1


def server_gone(world, timeout):
    """The server unreachable for a while with a receipt waiting: nothing is lost."""
    world.pair_and_show(timeout)
    world.proxy.gone = True
    world.log.wait_for("the waiting status", lambda line: "Exposure confirmation is unavailable." in line, timeout)
    if not keyring_record("pending-completion-v1"):
        raise StepFailed("the unconfirmed receipt is not in the keyring while the server is gone")
    time.sleep(world.arguments.outage)
    world.proxy.gone = False
    world.log.wait_for("the confirmation", lambda line: "recorded for the menu-bar exposure." in line, timeout + 20)
    return 1


CASES = {
    "stored-not-sent": stored_not_sent,
    "accepted-not-deleted": accepted_not_deleted,
    "server-killed-before-commit": server_killed_before_commit,
    "killed-while-connecting": killed_while_connecting,
    "flaky-network": flaky_network,
    "server-gone": server_gone,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--campaigns", required=True)
    parser.add_argument("--timeout", type=float, default=40)
    parser.add_argument("--only", action="append", help="run only these cases")
    parser.add_argument("--outage", type=float, default=30, help="seconds the server stays unreachable")
    arguments = parser.parse_args()
    failures = 0
    for name, case in CASES.items():
        if arguments.only and name not in arguments.only:
            continue
        started = time.monotonic()
        world = None
        try:
            with scenario(arguments, name) as world:
                expected = case(world, arguments.timeout)
                credited = world.credited()
                if credited != expected:
                    raise StepFailed(f"{credited} exposures credited, {expected} expected")
                # The record goes just after the confirmation is shown.
                wait_until("the unconfirmed receipt leaving the keyring",
                           lambda: not keyring_record("pending-completion-v1"), 10)
                say(f"{name}: credited {credited}, keyring clean ({time.monotonic() - started:.0f} s)")
        except (StepFailed, subprocess.SubprocessError, OSError) as failure:
            failures += 1
            print(f"fault harness FAILED at '{name}': {failure}", file=sys.stderr, flush=True)
            for line in world.log.lines[-15:] if world is not None and hasattr(world, "log") else []:
                print(f"  app: {line}", file=sys.stderr)
            for line in getattr(world, "server_lines", [])[-15:]:
                print(f"  server: {line}", file=sys.stderr)
            for line in world.proxy.errors[-15:] if world is not None else []:
                print(f"  proxy: {line}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
