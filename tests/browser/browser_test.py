#!/usr/bin/env python3
"""End-to-end test in a real browser.

Headless Chromium loads the bridge extension and the example page; the page
asks the extension, which asks the native host started by the browser (with
the stand-in word processor), to open a document, save it, fetch it back in
parts and close it with its file removed. The browser closes the native port
on any frame over 1 MiB, so a passing run also shows every answer fits.

Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium on this machine).
"""

import argparse
import fcntl
import functools
import http.server
import json
import os
import random
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
EXTENSION_ID = "nhipdoifmhiejfbjpikpbppgkchfgblj"
DOCUMENT_SIZE = 3 * 1024 * 1024
DOCUMENT_NAME = "quarterly report.docx"
STEP_TIMEOUT = 30.0


class Failure(Exception):
    pass


def find_chromium():
    for candidate in (os.environ.get("ORMID_CHROMIUM"), "/usr/lib/chromium/chromium", shutil.which("chromium")):
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def make_document():
    # Random bytes compress poorly and hit every base64 character, including
    # '/', which the host escapes and so makes its parts longer than the raw text.
    return random.Random(20240611).randbytes(DOCUMENT_SIZE)


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(directory):
    """Serves `directory` on an ephemeral loopback port from a thread of its own."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=directory))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


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


class Scenario:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="ormid-browser-")
        self.host_tmp = os.path.join(self.work, "host-tmp")
        self.documents = os.path.join(self.host_tmp, "ormid_doc_editor")
        self.host_pid_file = os.path.join(self.work, "host.pid")
        self.browser = None
        self.devtools = None
        self.server = None

    # --- setting up ----------------------------------------------------------

    def write_host_wrapper(self):
        # The browser starts this instead of the host: it picks the stand-in
        # word processor and a private temporary directory, and leaves the
        # host's process id so that the test can clean up after it.
        os.makedirs(self.host_tmp)
        wrapper = os.path.join(self.work, "ormid-host")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\n"
                    f"echo $$ > {shlex.quote(self.host_pid_file)}\n"
                    "ORMID_EDITOR=standin; export ORMID_EDITOR\n"
                    f"TMPDIR={shlex.quote(self.host_tmp)}; export TMPDIR\n"
                    f"exec {shlex.quote(self.args.host)} \"$@\" 2>>{shlex.quote(self.host_tmp)}/stderr.txt\n")
        os.chmod(wrapper, 0o755)
        return wrapper

    def register_host(self, wrapper, profile):
        result = subprocess.run([self.args.installer, "--profile-dir", profile, "--host", wrapper,
                                 "--extension-id", EXTENSION_ID], capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure(f"installer failed: {result.stderr.strip()}")

    def start_browser(self, chromium, profile):
        home = os.path.join(self.work, "home")
        os.makedirs(home)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"))
        to_browser_r, to_browser_w = os.pipe()
        from_browser_r, from_browser_w = os.pipe()

        def wire_pipes():
            # Move both ends out of the way first: either may already sit on 3 or 4.
            reading = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD_CLOEXEC, 10)
            writing = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD_CLOEXEC, 10)
            os.dup2(reading, 3)  # dup2 gives descriptors the browser inherits
            os.dup2(writing, 4)

        command = [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--no-default-browser-check", "--disable-dev-shm-usage", "--remote-debugging-pipe",
                   "--enable-unsafe-extension-debugging", f"--user-data-dir={profile}",
                   f"--load-extension={self.args.extension}",
                   f"--disable-extensions-except={self.args.extension}", "about:blank"]
        self.browser_log = open(os.path.join(self.work, "browser.log"), "wb")
        self.browser = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=self.browser_log,
                                        stderr=subprocess.STDOUT, preexec_fn=wire_pipes,
                                        close_fds=False, start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.devtools = DevTools(to_browser_w, from_browser_r)

    def attach_worker(self):
        prefix = f"chrome-extension://{EXTENSION_ID}/"
        try:
            return attach(self.devtools, prefix, "service_worker", timeout=10)
        except Failure:
            # Builds that ignore --load-extension still load it through DevTools.
            self.devtools.call("Extensions.loadUnpacked", {"path": self.args.extension})
            return attach(self.devtools, prefix, "service_worker")

    # --- the steps -----------------------------------------------------------

    def run(self):
        chromium = find_chromium()
        if not chromium:
            print("SKIP: Chromium is not installed (apt-get install chromium)")
            return SKIP
        document = make_document()
        profile = os.path.join(self.work, "profile")
        self.register_host(self.write_host_wrapper(), profile)
        # The browser starts before any thread of this process: wiring its
        # pipes runs between fork and exec, where other threads are unsafe.
        self.start_browser(chromium, profile)
        # The example page, and the document it sends, on a loopback port.
        site = os.path.join(self.work, "site")
        shutil.copytree(os.path.join(self.args.extension, "example"), site)
        with open(os.path.join(site, "fixture.bin"), "wb") as f:
            f.write(document)
        self.server = serve(site)
        devtools = self.devtools

        worker = self.attach_worker()
        devtools.wait_for(worker, "globalThis.ormidReady === true", "the extension's service worker")
        step("extension ready")

        target = devtools.call("Target.createTarget", {
            "url": f"http://127.0.0.1:{self.server.server_address[1]}/index.html?ext={EXTENSION_ID}"})["targetId"]
        page = devtools.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        devtools.wait_for(page, "document.readyState === 'complete' && !!window.ormidExample",
                          "the example page")
        devtools.evaluate(page, SCENARIO_HELPERS % json.dumps(DOCUMENT_NAME))
        step("example page loaded")

        answer = devtools.evaluate(page, "ormidTest.open()")
        expect_success(answer, "openDocument")
        stored = os.path.join(self.documents, DOCUMENT_NAME)
        if read_file(stored) != document:
            raise Failure(f"{stored} does not hold the document that was sent")
        step("openDocument: file written")

        result = devtools.evaluate(page, "ormidTest.save()")
        expect_success(result["answer"], "saveDocument")
        expect_event(result["events"], "documentSaveEvent")
        step("saveDocument: documentSaveEvent reached the page")

        before = devtools.evaluate(worker, "globalThis.ormidStats.partRequests")
        result = devtools.evaluate(page, "ormidTest.get()")
        expect_success(result["answer"], "getDocument")
        parts = devtools.evaluate(worker, "globalThis.ormidStats.partRequests") - before + 1
        if not result["identical"]:
            raise Failure(f"getDocument returned {result['length']} bytes that differ from the document sent")
        # A 3 MiB document is 4 MiB of base64: it cannot come in fewer than five parts under 1 MiB.
        if parts < 5:
            raise Failure(f"getDocument came in {parts} part(s); expected the answer to be split")
        step(f"getDocument: {len(document)} bytes identical, joined from {parts} parts")

        result = devtools.evaluate(page, "ormidTest.close()")
        expect_success(result["answer"], "closeDocument")
        expect_event(result["events"], "documentCloseEvent")
        if os.path.exists(stored):
            raise Failure(f"closeDocument with isRemoveFile left {stored}")
        step("closeDocument: documentCloseEvent, file removed")

        disconnects = devtools.evaluate(worker, "globalThis.ormidStats.disconnects")
        if disconnects:
            raise Failure("the browser closed the native port during the run")
        return 0

    # --- cleaning up ---------------------------------------------------------

    def close(self):
        if self.browser:
            try:
                self.devtools.call("Browser.close", timeout=5)
            except Exception:
                pass
            try:
                self.browser.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
            try:
                os.killpg(self.browser.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.browser.wait()
            self.browser_log.close()
            # Helpers such as the crash handler leave the group; their command
            # lines name this run's private directory.
            for pid in processes_mentioning(self.work):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        problems = []
        if self.stop_host():
            problems.append("the host was still running after the browser had closed")
        report = sanitizer_report(read_file(os.path.join(self.host_tmp, "stderr.txt")) or b"")
        if report:
            problems.append(f"the host reported:\n{report}")
        if self.server:
            self.server.shutdown()
            self.server.server_close()
        if self.args.keep:
            print(f"kept {self.work}")
        else:
            shutil.rmtree(self.work, ignore_errors=True)
        return problems

    def stop_host(self):
        """Ends a host the browser left behind; True when there was one."""
        try:
            with open(self.host_pid_file) as f:
                pid = int(f.read().strip())
        except (OSError, ValueError):
            return False
        # The host ends by itself when the browser closes its standard input.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if not process_alive(pid):
                return False
            time.sleep(0.1)
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            return False
        return True

    def dump_logs(self):
        for name in ("browser.log", "host-tmp/stderr.txt", "host-tmp/OrmidDocEditor.log"):
            path = os.path.join(self.work, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    text = f.read()[-4000:].decode("utf-8", "replace")
                print(f"--- last lines of {name} ---\n{text}")


SCENARIO_HELPERS = r"""
window.ormidTest = (() => {
  const name = %s;
  const { editor, events } = window.ormidExample;
  let sent = null;
  const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  async function eventsAfter(start, command) {
    for (let waited = 0; waited < 10000; waited += 50) {
      if (events.slice(start).some((e) => e.command === command)) break;
      await pause(50);
    }
    return events.slice(start);
  }
  return {
    async open() {
      sent = new Uint8Array(await (await fetch('/fixture.bin')).arrayBuffer());
      return editor.openDocument(name, sent);
    },
    async save() {
      const start = events.length;
      const answer = await editor.saveDocument(name);
      return { answer, events: await eventsAfter(start, 'documentSaveEvent') };
    },
    async get() {
      const { answer, bytes } = await editor.getDocument(name);
      delete answer.contentFile;
      const identical = bytes.length === sent.length && bytes.every((b, i) => b === sent[i]);
      return { answer, length: bytes.length, identical };
    },
    async close() {
      const start = events.length;
      const answer = await editor.closeDocument(name, true);
      return { answer, events: await eventsAfter(start, 'documentCloseEvent') };
    },
  };
})();
true
"""


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def process_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def sanitizer_report(stderr):
    """The sanitizer findings in the host's standard error (sanitizer builds), or empty."""
    text = stderr.decode("utf-8", "replace")
    for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
        at = text.find(marker)
        if at >= 0:
            return text[max(0, at - 200):at + 3000]
    return ""


def processes_mentioning(text):
    needle = text.encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if needle in f.read():
                    found.append(int(entry))
        except OSError:
            pass
    return found


def step(text):
    print(f"ok: {text}", flush=True)


def expect_success(answer, command):
    if not isinstance(answer, dict):
        raise Failure(f"{command}: no answer ({answer!r})")
    status = answer.get("status", {})
    if answer.get("command") != command or status.get("result") != "success":
        raise Failure(f"{command} answered {json.dumps(answer)[:500]}")
    if answer.get("destination") != "ormidDocEditorWebExt":
        raise Failure(f"{command} answer has destination {answer.get('destination')!r}")


def expect_event(events, command):
    for event in events:
        if (event.get("command") == command and event.get("destination") == "ormidDocEditorWebPage"
                and (event.get("workingDirectory", "") + event.get("nameFile", "")).endswith(DOCUMENT_NAME)
                and event.get("status", {}).get("result") == "success"):
            return
    raise Failure(f"no {command} for {DOCUMENT_NAME} reached the page; events: {json.dumps(events)[:500]}")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.dirname(os.path.dirname(here))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True, help="the ormid-doc-editor executable")
    parser.add_argument("--extension", default=os.path.join(source, "extension"))
    parser.add_argument("--installer", default=os.path.join(source, "install", "ormid-install"))
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()
    args.host = os.path.abspath(args.host)
    args.extension = os.path.abspath(args.extension)
    if not os.access(args.host, os.X_OK):
        print(f"FAIL: host {args.host} is not built")
        return 1

    scenario = Scenario(args)
    status = 1
    try:
        status = scenario.run()
    except Failure as failure:
        print(f"FAIL: {failure}")
        scenario.dump_logs()
    finally:
        for problem in scenario.close():
            print(f"FAIL: {problem}")
            status = 1
    if status == 0:
        print("browser end-to-end test passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
