#!/usr/bin/env python3
"""End-to-end test in headless Chromium.

Chromium runs on its default profile in a private HOME, where
install/ormid-install registers the host as it would for a user (see
harness.py for the scenario). Beyond it, the service worker's counters show
that the 3 MiB document came in parts, and an answer over the page message
limit (lowered for the test) must reach the page as an error while the bridge
keeps working.

Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium on this machine).
"""

import fcntl
import json
import os
import shutil
import sys
import threading
import time

from harness import CHROMIUM_EXTENSION_ID, STEP_TIMEOUT, Failure, Run, expect_success, find_program, main, step


class DevTools:
    """DevTools protocol over --remote-debugging-pipe: NUL-terminated JSON on fds 3 (to the browser) and 4."""

    def __init__(self, to_browser, from_browser):
        self.out = os.fdopen(to_browser, "wb", buffering=0)
        self.inp = os.fdopen(from_browser, "rb", buffering=0)
        self.next_id = 0
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        self.results = {}
        self.events = []
        self.closed = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buffer = b""
        while True:
            chunk = self.inp.read(1 << 16)
            if not chunk:
                break
            buffer += chunk
            while b"\0" in buffer:
                raw, buffer = buffer.split(b"\0", 1)
                message = json.loads(raw)
                with self.cond:
                    if "id" in message:
                        self.results[message["id"]] = message
                    else:
                        self.events.append(message)
                    self.cond.notify_all()
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def call(self, method, params=None, session=None, timeout=STEP_TIMEOUT):
        with self.cond:
            self.next_id += 1
            ident = self.next_id
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        try:
            self.out.write(json.dumps(message).encode() + b"\0")
        except OSError as error:
            raise Failure(f"cannot reach the browser for {method}: {error}")
        deadline = time.monotonic() + timeout
        with self.cond:
            while ident not in self.results:
                left = deadline - time.monotonic()
                if self.closed:
                    raise Failure(f"browser closed the DevTools pipe during {method}")
                if left <= 0:
                    raise Failure(f"no reply to {method} within {timeout:.0f} s")
                self.cond.wait(left)
            reply = self.results.pop(ident)
        if "error" in reply:
            raise Failure(f"{method} failed: {reply['error']}")
        return reply.get("result", {})

    def evaluate(self, session, expression, timeout=STEP_TIMEOUT):
        result = self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                "returnByValue": True, "timeout": int(timeout * 1000)},
                           session=session, timeout=timeout + 5)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise Failure(f"page script failed: {text}")
        return result["result"].get("value")

    def wait_for(self, session, expression, what, timeout=STEP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if self.evaluate(session, expression, timeout=5):
                    return
            except Failure:
                pass  # the context may not exist yet
            time.sleep(0.1)
        raise Failure(f"timed out waiting for {what}")


def attach(devtools, url_prefix, kind, timeout=STEP_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for target in devtools.call("Target.getTargets")["targetInfos"]:
            if target["type"] == kind and target["url"].startswith(url_prefix):
                return devtools.call("Target.attachToTarget", {"targetId": target["targetId"],
                                                                "flatten": True})["sessionId"]
        time.sleep(0.2)
    raise Failure(f"no {kind} target at {url_prefix} (is the extension loaded?)")


class ChromiumRun(Run):
    browser_name = "chromium"

    def find_browser(self):
        return find_program("ORMID_CHROMIUM", "/usr/lib/chromium/chromium", shutil.which("chromium"))

    def install_options(self):
        return ["--browser", "chromium", "--extension-id", CHROMIUM_EXTENSION_ID]

    def start_browser(self, chromium):
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()

        def wire_pipes():
            # Move both ends out of the way first: either may already sit on 3 or 4.
            reading = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 10)
            writing = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 10)
            os.dup2(reading, 3)  # dup2 gives descriptors the browser inherits
            os.dup2(writing, 4)

        # The profile, and with it the host manifests Chromium reads, where a
        # user's Chromium keeps them in this HOME (headless alone would
        # default to ~/.config/chromium-headless).
        profile = os.path.join(self.home, ".config", "chromium")
        self.spawn([chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--no-default-browser-check", "--disable-dev-shm-usage", "--remote-debugging-pipe",
                    "--enable-unsafe-extension-debugging", f"--user-data-dir={profile}",
                    f"--load-extension={self.args.extension}",
                    f"--disable-extensions-except={self.args.extension}", "about:blank"],
                   preexec_fn=wire_pipes, close_fds=False)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.devtools = DevTools(to_browser_w, from_browser_r)
        self.worker = self.attach_worker()
        self.devtools.wait_for(self.worker, "globalThis.ormidReady === true", "the extension's service worker")
        step("extension ready")

    def attach_worker(self):
        prefix = f"chrome-extension://{CHROMIUM_EXTENSION_ID}/"
        try:
            return attach(self.devtools, prefix, "service_worker", timeout=10)
        except Failure:
            # Builds that ignore --load-extension still load it through DevTools.
            self.devtools.call("Extensions.loadUnpacked", {"path": self.args.extension})
            return attach(self.devtools, prefix, "service_worker")

    def open_page(self, url):
        target = self.devtools.call("Target.createTarget", {"url": url})["targetId"]
        self.page = self.devtools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.devtools.wait_for(self.page, "document.readyState === 'complete' && !!window.ormidExample",
                               "the example page")

    def evaluate(self, expression):
        return self.devtools.evaluate(self.page, expression)

    def worker_value(self, expression):
        return self.devtools.evaluate(self.worker, expression)

    def check_bridge(self):
        # The fetch just done: a 3 MiB document is 4 MiB of base64, which
        # cannot come in fewer than five parts under 1 MiB.
        parts = self.worker_value("globalThis.ormidStats.partRequests") + 1
        if parts < 5:
            raise Failure(f"getDocument came in {parts} part(s); expected the answer to be split")
        step(f"getDocument was joined from {parts} parts")

        self.worker_value("globalThis.ormidLimits.pageMessage = 1024 * 1024")
        try:
            answer = self.evaluate("ormidTest.get()")["answer"]
        finally:
            self.worker_value("globalThis.ormidLimits.pageMessage = 64 * 1024 * 1024")
        if (answer.get("command") != "getDocument" or answer.get("status", {}).get("result") != "error"
                or "too large" not in answer["status"].get("description", "")):
            raise Failure(f"an answer over the page limit came as {json.dumps(answer)[:500]}")
        expect_success(self.evaluate("ormidTest.save()")["answer"], "saveDocument")
        step("an answer over the page limit is an error, and the bridge keeps working")

        # The one disconnect is the request made before the host was installed.
        disconnects = self.worker_value("globalThis.ormidStats.disconnects")
        if disconnects != 1:
            raise Failure(f"the native port closed {disconnects - 1} time(s) during the run")

    def quit_browser(self):
        self.devtools.call("Browser.close", timeout=5)


if __name__ == "__main__":
    sys.exit(main(ChromiumRun, __doc__))
