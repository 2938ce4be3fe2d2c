#!/usr/bin/env python3
"""End-to-end test in headless Firefox.

Firefox runs on a profile of its own in a private HOME, where
install/ormid-install writes the per-user host manifest Firefox reads
(~/.mozilla/native-messaging-hosts); see harness.py for the scenario. The test
installs the extension as a temporary add-on and drives the page through
Marionette, Firefox's own remote protocol, on a loopback port. Firefox has no
externally_connectable, so the page reaches the extension through its
content-script relay.

Exit codes: 0 passed, 1 failed, 77 skipped (no Firefox on this machine).
"""

import json
import os
import shutil
import socket
import sys
import time

from harness import FIREFOX_EXTENSION_ID, STEP_TIMEOUT, Failure, Run, find_program, main, step

# Quiet, fast start-up without network: Marionette adds its recommended
# prefs on top of these.
PREFERENCES = {
    "marionette.port": 0,  # any free port; Firefox writes it to MarionetteActivePort
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.aboutwelcome.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
    "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False,
    "extensions.update.enabled": False,
    "extensions.getAddons.cache.enabled": False,
}


class Marionette:
    """Marionette client: packets are `length:JSON`, commands [0, id, name, params],
    replies [1, id, error, result]."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
        self.buffer = b""
        self.next_id = 0
        hello = self.receive(STEP_TIMEOUT)
        if hello.get("marionetteProtocol") != 3:
            raise Failure(f"unexpected Marionette greeting {hello}")

    def receive(self, timeout):
        self.sock.settimeout(timeout)
        try:
            while b":" not in self.buffer:
                self.fill()
            length, rest = self.buffer.split(b":", 1)
            while len(rest) < int(length):
                rest += self.fill(keep=False)
        except socket.timeout:
            raise Failure(f"Marionette sent nothing within {timeout:.0f} s")
        self.buffer = rest[int(length):]
        return json.loads(rest[:int(length)])

    def fill(self, keep=True):
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise Failure("Firefox closed the Marionette connection")
        if keep:
            self.buffer += chunk
        return chunk

    def call(self, name, params=None, timeout=STEP_TIMEOUT):
        self.next_id += 1
        ident = self.next_id
        data = json.dumps([0, ident, name, params or {}]).encode()
        self.sock.sendall(str(len(data)).encode() + b":" + data)
        while True:
            reply = self.receive(timeout)
            if reply[0] == 1 and reply[1] == ident:
                break
        error, result = reply[2], reply[3]
        if error:
            raise Failure(f"{name} failed: {error.get('error')}: {error.get('message')}")
        return result


class FirefoxRun(Run):
    browser_name = "firefox"

    def find_browser(self):
        return find_program("ORMID_FIREFOX", "/usr/lib/firefox-esr/firefox-esr", shutil.which("firefox-esr"),
                            shutil.which("firefox"))

    def install_options(self):
        return ["--browser", "firefox", "--firefox-id", FIREFOX_EXTENSION_ID]

    def start_browser(self, firefox):
        profile = os.path.join(self.work, "profile")
        os.makedirs(profile)
        with open(os.path.join(profile, "user.js"), "w") as f:
            for name, value in PREFERENCES.items():
                f.write(f"user_pref({json.dumps(name)}, {json.dumps(value)});\n")
        self.spawn([firefox, "--headless", "--marionette", "--no-remote", "--profile", profile, "about:blank"])
        self.marionette = Marionette(self.wait_for_port(profile))
        self.marionette.call("WebDriver:NewSession", {"capabilities": {}})
        self.marionette.call("WebDriver:SetTimeouts", {"script": int(STEP_TIMEOUT * 1000)})
        installed = self.marionette.call("Addon:Install", {"path": self.args.extension, "temporary": True})
        if installed.get("value") != FIREFOX_EXTENSION_ID:
            raise Failure(f"the extension was installed as {installed!r}, not {FIREFOX_EXTENSION_ID}")
        step("extension installed as a temporary add-on")

    def wait_for_port(self, profile):
        path = os.path.join(profile, "MarionetteActivePort")
        deadline = time.monotonic() + STEP_TIMEOUT
        while time.monotonic() < deadline:
            if self.browser.poll() is not None:
                raise Failure(f"Firefox ended at start-up with {self.browser.returncode}")
            try:
                with open(path) as f:
                    return int(f.read().strip())
            except (OSError, ValueError):
                time.sleep(0.1)
        raise Failure("Firefox did not start Marionette")

    def open_page(self, url):
        self.marionette.call("WebDriver:Navigate", {"url": url})
        deadline = time.monotonic() + STEP_TIMEOUT
        while not self.evaluate("document.readyState === 'complete' && !!window.ormidExample"):
            if time.monotonic() > deadline:
                raise Failure("timed out waiting for the example page")
            time.sleep(0.1)

    def evaluate(self, expression):
        # WebDriver scripts are function bodies; a returned promise is awaited.
        result = self.marionette.call("WebDriver:ExecuteScript", {"script": f"return ({expression});", "args": []},
                                      timeout=STEP_TIMEOUT + 5)
        return result.get("value")

    def quit_browser(self):
        self.marionette.call("Marionette:Quit", {"flags": ["eForceQuit"]}, timeout=10)


if __name__ == "__main__":
    sys.exit(main(FirefoxRun, __doc__))
