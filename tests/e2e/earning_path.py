#!/usr/bin/env python3
"""The whole earning path with the real programs: the development server, the
nimbrella application on the desktop, and headless Chromium approving the connection
on the server's verification page. Prints each step as it happens, writes screenshots
of the top band and the popover, and ends with status 0 once the server has credited
the exposure and the popover shows the new balance; otherwise names the step that
failed and ends with status 1.

    earning_path.py --app PATH --server PATH --screenshots DIR [--timeout SECONDS]

Runs inside an X session with a top panel, a session D-Bus and an unlocked keyring
(scripts/desktop-session makes one)."""

import argparse
import json
import os
import queue
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

BUS_NAME = "app.nimbrella.Nimbrella"
OBJECT_PATH = "/app/nimbrella/Nimbrella"


class StepFailed(Exception):
    pass


def say(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(what, condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise StepFailed(f"{what} did not happen within {timeout:.0f} s")


def wait_until_listening(process, port, timeout):
    """Waits until `process` accepts connections on `port` of 127.0.0.1; answers False
    when it exited first (the port taken, for one)."""
    def state():
        if process.poll() is not None:
            return "exited"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return "listening"
        except OSError:
            return None
    return wait_until("the development server listening", state, timeout) == "listening"


class Lines:
    """Reads a process's output on a thread and keeps every line."""

    def __init__(self, stream, echo_prefix=None):
        self.lines = []
        self.fresh = queue.Queue()
        self._echo = echo_prefix
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            self.fresh.put(line)

    def wait_for(self, what, predicate, timeout):
        """The first line (seen before or from now on) for which predicate holds."""
        for line in list(self.lines):
            if predicate(line):
                return line
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise StepFailed(f"{what}: not seen within {timeout:.0f} s; last lines:\n" + "\n".join(self.lines[-15:]))
            try:
                line = self.fresh.get(timeout=remaining)
            except queue.Empty:
                continue
            if predicate(line):
                return line


def stop(processes):
    """Ends the processes, newest first; a stopped one is continued so that it can end."""
    for process in reversed(processes):
        if process.poll() is None:
            try:
                process.send_signal(signal.SIGCONT)
                process.terminate()
                process.wait(timeout=10)
            except (subprocess.TimeoutExpired, OSError):
                process.kill()


def activate(action=None):
    method = "org.freedesktop.Application.ActivateAction" if action else "org.freedesktop.Application.Activate"
    arguments = [f"'{action}'", "[]", "{}"] if action else ["{}"]
    subprocess.run(["gdbus", "call", "--session", "--dest", BUS_NAME, "--object-path", OBJECT_PATH,
                    "--method", method, *arguments], check=True, capture_output=True, timeout=10)


def screenshot(path, geometry=None):
    command = ["import", "-window", "root"]
    if geometry:
        command += ["-crop", geometry]
    subprocess.run(command + [path], check=True, capture_output=True, timeout=20)
    say(f"screenshot {path}")


def approve_in_chromium(url, timeout):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-dev-shm-usage", "--window-size=1024,768"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    try:
        driver.set_page_load_timeout(timeout)
        driver.get(url)
        button = WebDriverWait(driver, timeout).until(expected_conditions.element_to_be_clickable((By.ID, "approve")))
        button.click()
        WebDriverWait(driver, timeout).until(lambda d: "approve" not in d.current_url or d.find_elements(By.TAG_NAME, "h1"))
        return driver.find_element(By.TAG_NAME, "body").text
    finally:
        driver.quit()


def capture_browser(work, program):
    """Makes `program` the session's web browser for the application (xdg-open asks the
    default handler of http and https in XDG_DATA_HOME and XDG_CONFIG_HOME)."""
    applications = os.path.join(work, "data", "applications")
    os.makedirs(applications, exist_ok=True)
    os.makedirs(os.path.join(work, "config"), exist_ok=True)
    with open(os.path.join(applications, "nimbrella-e2e-browser.desktop"), "w") as entry:
        entry.write(f"[Desktop Entry]\nType=Application\nName=Test browser\nExec={program} %u\n"
                    "MimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n")
    with open(os.path.join(work, "config", "mimeapps.list"), "w") as defaults:
        defaults.write("[Default Applications]\nx-scheme-handler/http=nimbrella-e2e-browser.desktop\n"
                       "x-scheme-handler/https=nimbrella-e2e-browser.desktop\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    arguments = parser.parse_args()

    os.makedirs(arguments.screenshots, exist_ok=True)
    work = tempfile.mkdtemp(prefix="nimbrella-e2e-")
    urls = os.path.join(work, "opened-urls")
    browser = os.path.join(work, "browser")
    with open(browser, "w") as script:
        script.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{urls}"\n')
    os.chmod(browser, 0o755)
    capture_browser(work, browser)

    port = free_port()
    origin = f"http://127.0.0.1:{port}"
    processes = []
    log = None
    step = "start the development server"
    try:
        server = subprocess.Popen([arguments.server, "--port", str(port), "--db", ":memory:", "--poll-interval", "2"],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        processes.append(server)
        server_lines = Lines(server.stdout)
        if not wait_until_listening(server, port, arguments.timeout):
            raise StepFailed(f"the development server exited with {server.returncode}")
        say(f"development server on {origin}")

        step = "start nimbrella"
        environment = dict(os.environ, BROWSER=browser, XDG_DATA_HOME=os.path.join(work, "data"),
                           XDG_CONFIG_HOME=os.path.join(work, "config"), LANGUAGE="en", LANG="en_US.UTF-8")
        app = subprocess.Popen([arguments.app, "--server", origin], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, env=environment)
        processes.append(app)
        log = Lines(app.stdout)
        log.wait_for("the application's first status", lambda line: "status:" in line, arguments.timeout)
        say("nimbrella started; the popover shows the sign-in controls")

        step = "ask for a connection"
        wait_until("the application on the session bus", lambda: subprocess.run(
            ["gdbus", "introspect", "--session", "--dest", BUS_NAME, "--object-path", OBJECT_PATH],
            capture_output=True).returncode == 0, arguments.timeout)
        activate("connect")
        url = wait_until("the verification page opened in the browser",
                         lambda: os.path.exists(urls) and open(urls).read().split(), arguments.timeout)[0]
        say(f"verification page {url}")

        step = "approve in Chromium"
        try:
            page = approve_in_chromium(url, arguments.timeout)
        except Exception as failure:  # the driver's own errors name what went wrong
            raise StepFailed(f"{type(failure).__name__}: {failure}") from failure
        say("approved in headless Chromium: " + " ".join(page.split())[:80])
        log.wait_for("pairing", lambda line: "Connected. Sponsors are enabled." in line, arguments.timeout)
        say("paired")

        step = "close the controls"
        subprocess.run(["xdotool", "key", "Escape"], check=True, timeout=10)
        shown = log.wait_for("a sponsored item", lambda line: "Sponsored name displayed" in line, arguments.timeout)
        started = time.monotonic()
        say("sponsor shown: " + shown.split("status:", 1)[-1].strip())
        time.sleep(1.5)
        screenshot(os.path.join(arguments.screenshots, "top-band.png"), "1280x24+0+0")

        step = "count the exposure"
        confirmed = None
        while confirmed is None:
            try:
                confirmed = log.wait_for("a confirmed receipt",
                                         lambda line: "recorded for the menu-bar exposure." in line, 1)
            except StepFailed:
                elapsed = time.monotonic() - started
                say(f"seconds counted: {elapsed:.0f}")
                if elapsed > arguments.timeout:
                    raise StepFailed("no receipt was confirmed; last status lines:\n  " + "\n  ".join(log.lines[-8:]))
                if any("No reward was submitted." in line for line in log.lines):
                    raise StepFailed("the exposure was interrupted:\n  " + "\n  ".join(log.lines[-8:]))
        say("receipt confirmed: " + confirmed.split("status:", 1)[-1].strip())

        step = "show the new balance"
        confirmed_at = log.lines.index(confirmed)
        balance = log.wait_for("the new balance", lambda line: "balance:" in line and
                               log.lines.index(line) <= confirmed_at + 2, arguments.timeout)
        say("new balance " + balance.split("balance:", 1)[-1].strip())
        activate()
        log.wait_for("the popover", lambda line: "controls: open" in line, arguments.timeout)
        time.sleep(1)
        screenshot(os.path.join(arguments.screenshots, "popover.png"))

        step = "quit"
        app.send_signal(signal.SIGTERM)
        status = app.wait(timeout=arguments.timeout)
        if status != 0:
            raise StepFailed(f"nimbrella ended with status {status}")
        say("nimbrella quit cleanly")
        return 0
    except (StepFailed, subprocess.SubprocessError, OSError) as failure:
        print(f"earning path FAILED at '{step}': {failure}", file=sys.stderr, flush=True)
        if log is not None:
            print("last lines of nimbrella:\n  " + "\n  ".join(log.lines[-12:]), file=sys.stderr, flush=True)
        return 1
    finally:
        stop(processes)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
