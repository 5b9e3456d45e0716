#!/usr/bin/env python3
"""The real package updating itself to the next build: the nimbrella .deb unpacked into a
temporary root whose Info.json names a local HTTPS feed (a certificate only this run
trusts, a throwaway Ed25519 key) and an installer that unpacks into that root. A check
asked for over D-Bus finds the signed next build, installs it, runs the hook once and
relaunches from the root; the new build finds nothing newer. Then an installer that
fails: the sequence stays, the same copy runs on and says why.

    update_e2e.py --packages DIR [--timeout SECONDS]

Runs inside scripts/desktop-session (X display, session bus, keyring)."""

import argparse
import base64
import functools
import hashlib
import http.server
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from earning_path import Lines, StepFailed, activate, say, stop, wait_until  # noqa: E402

INFO = "usr/share/nimbrella/Info.json"


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, timeout=60, **options).stdout


def edit_json(path, **changes):
    with open(path) as file:
        document = json.load(file)
    document.update(changes)
    with open(path, "w") as file:
        json.dump(document, file, indent=2)
    return document


def next_build_package(first, work, update_keys):
    """The first package with its build number and version raised: the next build."""
    tree = os.path.join(work, "next")
    run("dpkg-deb", "-R", first, tree)
    with open(os.path.join(tree, INFO)) as file:
        info = json.load(file)
    major, minor, patch = info["CFBundleShortVersionString"].split(".")
    version, build = f"{major}.{minor}.{int(patch) + 1}", str(int(info["CFBundleVersion"]) + 1)
    edit_json(os.path.join(tree, INFO), CFBundleShortVersionString=version, CFBundleVersion=build, **update_keys)
    for name, old, new in (("control", f"Version: {info['CFBundleShortVersionString']}", f"Version: {version}"),
                           ("md5sums", None, None)):
        path = os.path.join(tree, "DEBIAN", name)
        with open(path) as file:
            text = file.read()
        if old:
            text = text.replace(old, new)
        else:  # the Info.json line carries the new file's digest
            digest = hashlib.md5(open(os.path.join(tree, INFO), "rb").read()).hexdigest()
            text = "".join(f"{digest}  {INFO}\n" if line.endswith(INFO) else line + "\n" for line in text.splitlines())
        with open(path, "w") as file:
            file.write(text)
    package = os.path.join(work, "site", f"nimbrella_{version}.deb")
    run("dpkg-deb", "--root-owner-group", "-b", tree, package)
    return package, version, build


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packages", required=True)
    parser.add_argument("--timeout", type=float, default=60)
    arguments = parser.parse_args()
    timeout = arguments.timeout
    first = next(os.path.join(arguments.packages, n) for n in os.listdir(arguments.packages)
                 if n.startswith("nimbrella_") and n.endswith(".deb"))

    work = tempfile.mkdtemp(prefix="nimbrella-update-")
    root, site, config = (os.path.join(work, n) for n in ("root", "site", "config"))
    os.makedirs(site)
    processes, step = [], "prepare"
    try:
        # The feed's key and the certificate of the feed's server, both made for this run.
        run("openssl", "genpkey", "-algorithm", "ed25519", "-out", f"{work}/signing.pem")
        public = run("openssl", "pkey", "-in", f"{work}/signing.pem", "-pubout", "-outform", "DER")[-32:]
        run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
            "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
            "-keyout", f"{work}/tls.key", "-out", f"{work}/tls.pem")
        requests = []

        class Handler(http.server.SimpleHTTPRequestHandler):
            def log_message(self, *_):
                requests.append(self.path)

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=site))
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(f"{work}/tls.pem", f"{work}/tls.key")
        server.socket = tls.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        origin = f"https://127.0.0.1:{server.server_address[1]}"

        # The installer unpacks into the root; it notes each package and the sequence stored
        # when it ran, and fails while the file "refuse" exists.
        installer = os.path.join(work, "install-into-root")
        with open(installer, "w") as file:
            file.write(f"""#!/bin/sh
echo "$(sha256sum < "$1" | cut -d' ' -f1) $(grep -s updateLastSequence {config}/*.conf)" >> {work}/installs
[ -e {work}/refuse ] && {{ echo "test installer: refused" >&2; exit 1; }}
exec dpkg-deb -x "$1" {root}
""")
        os.chmod(installer, 0o755)
        keys = dict(NimbrellaUpdatesEnabled=True, SUFeedURL=f"{origin}/feed.json",
                    SUPublicEDKey=base64.b64encode(public).decode(), NimbrellaUpdateInstaller=installer)
        run("dpkg-deb", "-x", first, root)
        edit_json(os.path.join(root, INFO), **keys)
        package, version, build = next_build_package(first, work, keys)
        digest = hashlib.sha256(open(package, "rb").read()).hexdigest()

        def publish(build_number, sequence):
            manifest = json.dumps({"version": version, "build": int(build_number), "sequence": sequence,
                                   "expiresAt": "2099-01-01T00:00:00Z", "url": f"{origin}/{os.path.basename(package)}",
                                   "size": os.path.getsize(package), "sha256": digest})
            with open(f"{site}/feed.json", "w") as file:
                file.write(manifest)
            signature = run("openssl", "pkeyutl", "-sign", "-rawin", "-inkey", f"{work}/signing.pem",
                            "-in", f"{site}/feed.json")
            with open(f"{site}/feed.json.sig", "w") as file:
                file.write(base64.b64encode(signature).decode() + "\n")

        def stored_sequence():
            with open(f"{config}/app.nimbrella.Nimbrella.conf") as file:
                return next((l.strip().split("=")[1] for l in file if l.startswith("updateLastSequence=")), None)

        def installs():
            return open(f"{work}/installs").read().splitlines() if os.path.exists(f"{work}/installs") else []

        publish(build, 7)
        os.makedirs(config)
        with open(f"{config}/app.nimbrella.Nimbrella.conf", "w") as file:
            file.write("[General]\nupdateAutomaticallyInstalls=true\n")
        program = os.path.join(root, "usr/bin/nimbrella")
        environment = dict(os.environ, XDG_CONFIG_HOME=config, XDG_DATA_HOME=f"{work}/data",
                           XDG_CACHE_HOME=f"{work}/cache", SSL_CERT_FILE=f"{work}/tls.pem", LANGUAGE="en")

        step = "the first build installs the next one and relaunches"
        old = subprocess.Popen([program], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment)
        processes.append(old)
        log = Lines(old.stdout)
        log.wait_for("the first build's controls", lambda line: "controls: open" in line, timeout)
        activate("check-for-updates")
        old.wait(timeout)
        if installs() != [f"{digest} "]:
            raise StepFailed(f"the installer ran as {installs()}, not once with the signed package and no sequence")
        if stored_sequence() != "7":
            raise StepFailed(f"the stored sequence is {stored_sequence()}")
        updating = [i for i, line in enumerate(log.lines) if "Nimbrella is updating." in line]
        installed = [i for i, line in enumerate(log.lines) if f"update: Nimbrella {version} was installed." in line]
        if len(updating) != 1 or not installed or updating[0] < installed[0]:
            raise StepFailed(f"the hook ran at {updating}, the installation was reported at {installed}")

        def relaunched():
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if os.readlink(f"/proc/{pid}/exe") == program and int(pid) != old.pid:
                        return int(pid)
                except OSError:
                    pass
            return None
        new_pid = wait_until("the relaunch from the root", relaunched, timeout)
        wait_until("the next build's controls", lambda: sum("controls: open" in l for l in log.lines) == 2, timeout)
        shown = run(program, "--version").decode().strip()
        if shown != f"Nimbrella {version} ({build})":
            raise StepFailed(f"the root holds {shown}")
        say(f"{shown} installed into the root, relaunched from it as process {new_pid}")

        step = "the next build finds nothing newer"
        activate("check-for-updates")
        log.wait_for("the second check", lambda line: "update: No newer version is available." in line, timeout)

        step = "a failed installation leaves the running build and the sequence"
        publish(int(build) + 1, 8)
        open(f"{work}/refuse", "w").close()
        activate("check-for-updates")
        log.wait_for("the installer's refusal", lambda line: "update: test installer: refused" in line, timeout)
        if len(installs()) != 2 or stored_sequence() != "7" or relaunched() != new_pid:
            raise StepFailed(f"after the refusal: installs {installs()}, sequence {stored_sequence()}")
        if sum("Nimbrella is updating." in line for line in log.lines) != 1:
            raise StepFailed("the hook ran for a failed installation")
        if requests.count(f"/{os.path.basename(package)}") != 2:
            raise StepFailed(f"the server saw {requests}")
        say("the refused installation was reported; the same build runs on with sequence 7")
        os.kill(new_pid, 15)
        wait_until("the next build's end", lambda: relaunched() is None, timeout)
        return 0
    except (StepFailed, subprocess.SubprocessError, OSError) as failure:
        say(f"FAILED at '{step}': {failure}")
        for line in (log.lines if "log" in locals() else []):
            print("  " + line)
        return 1
    finally:
        stop(processes)
        pid = relaunched() if "relaunched" in locals() else None
        if pid:
            os.kill(pid, 9)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
