"""What the Chromium and the Firefox end-to-end tests share.

Each test starts its browser on a private HOME with the bridge extension, and
drives the example page, served on a loopback port, through one scenario: a
request before the host is registered must say the host is not installed;
then install/ormid-install registers the host in that HOME, exactly as for a
user, and the page opens a document, saves it, fetches it back in parts and
closes it with its file removed. The browser starts the real host, through a
wrapper that picks the stand-in word processor and a private temporary
directory.
"""

import functools
import http.server
import json
import os
import random
import shlex
import shutil
import signal
import sys
import tempfile
import threading
import time
import subprocess

SKIP = 77
CHROMIUM_EXTENSION_ID = "nhipdoifmhiejfbjpikpbppgkchfgblj"
FIREFOX_EXTENSION_ID = "doc-editor-bridge@ormid.example"
DOCUMENT_SIZE = 3 * 1024 * 1024
DOCUMENT_NAME = "quarterly report.docx"
STEP_TIMEOUT = 30.0


class Failure(Exception):
    pass


def find_program(variable, *candidates):
    for candidate in (os.environ.get(variable), *candidates):
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


class Run:
    """One browser run; subclasses start the browser and evaluate in the page."""

    browser_name = "browser"

    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix=f"ormid-{self.browser_name}-")
        self.home = os.path.join(self.work, "home")
        self.host_tmp = os.path.join(self.work, "host-tmp")
        self.documents = os.path.join(self.host_tmp, "ormid_doc_editor")
        self.host_pid_file = os.path.join(self.work, "host.pid")
        self.browser = None
        self.browser_log = None
        self.server = None
        os.makedirs(self.home)

    # --- what a browser brings ----------------------------------------------

    def find_browser(self):
        raise NotImplementedError

    def start_browser(self, executable):
        raise NotImplementedError

    def open_page(self, url):
        raise NotImplementedError

    def evaluate(self, expression):
        """Value of an expression (awaited when a promise) in the page."""
        raise NotImplementedError

    def install_options(self):
        """Options for install/ormid-install that register the host for this browser."""
        raise NotImplementedError

    def check_bridge(self):
        """Browser-specific checks after the scenario."""

    def quit_browser(self):
        pass

    def environment(self):
        return dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                    XDG_CACHE_HOME=os.path.join(self.home, ".cache"), XDG_DATA_HOME=os.path.join(self.home, ".local/share"))

    def spawn(self, command, **options):
        self.browser_log = open(os.path.join(self.work, "browser.log"), "wb")
        self.browser = subprocess.Popen(command, env=self.environment(), stdin=subprocess.DEVNULL,
                                        stdout=self.browser_log, stderr=subprocess.STDOUT,
                                        start_new_session=True, **options)

    # --- the scenario --------------------------------------------------------

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

    def install_host(self, wrapper):
        # The installer's per-user locations follow HOME: it writes where
        # this browser, started on the same HOME, looks.
        result = subprocess.run([self.args.installer, "--host", wrapper, *self.install_options()],
                                env=self.environment(), capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure(f"installer failed: {result.stderr.strip()}")

    def run(self):
        executable = self.find_browser()
        if not executable:
            print(f"SKIP: {self.browser_name} is not installed")
            return SKIP
        document = make_document()
        wrapper = self.write_host_wrapper()
        # The browser starts before any thread of this process: wiring its
        # pipes runs between fork and exec, where other threads are unsafe.
        self.start_browser(executable)
        site = os.path.join(self.work, "site")
        shutil.copytree(os.path.join(self.args.extension, "example"), site)
        with open(os.path.join(site, "fixture.bin"), "wb") as f:
            f.write(document)
        self.server = serve(site)

        self.open_page(f"http://127.0.0.1:{self.server.server_address[1]}/index.html?ext={CHROMIUM_EXTENSION_ID}")
        self.evaluate(SCENARIO_HELPERS % json.dumps(DOCUMENT_NAME))
        step("example page loaded")

        description = self.evaluate("ormidTest.probe()")
        if "ormid.doc_editor is not installed" not in description:
            raise Failure(f"before the installer ran, saveDocument ended with {description[:500]!r}")
        step(f"before installing: {description}")

        self.install_host(wrapper)
        step("host registered by install/ormid-install")

        answer = self.evaluate("ormidTest.open()")
        expect_success(answer, "openDocument")
        stored = os.path.join(self.documents, DOCUMENT_NAME)
        if read_file(stored) != document:
            raise Failure(f"{stored} does not hold the document that was sent")
        step("openDocument: file written")

        result = self.evaluate("ormidTest.save()")
        expect_success(result["answer"], "saveDocument")
        expect_event(result["events"], "documentSaveEvent")
        step("saveDocument: documentSaveEvent reached the page")

        # The browser refuses any frame over 1 MiB from the host, so an
        # identical document shows that its answer came in parts and was joined.
        result = self.evaluate("ormidTest.get()")
        expect_success(result["answer"], "getDocument")
        if not result["identical"]:
            raise Failure(f"getDocument returned {result['length']} bytes that differ from the document sent")
        step(f"getDocument: {len(document)} bytes identical")

        self.check_bridge()

        result = self.evaluate("ormidTest.close()")
        expect_success(result["answer"], "closeDocument")
        expect_event(result["events"], "documentCloseEvent")
        if os.path.exists(stored):
            raise Failure(f"closeDocument with isRemoveFile left {stored}")
        step("closeDocument: documentCloseEvent, file removed")
        return 0

    # --- cleaning up ---------------------------------------------------------

    def close(self):
        if self.browser:
            try:
                self.quit_browser()
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


# One expression, so that every browser's evaluation can take it.
SCENARIO_HELPERS = r"""(window.ormidTest = (() => {
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
    // What the page learns of a request: the host's answer, or the error
    // the page's library raised instead.
    async probe() {
      try {
        const answer = await editor.saveDocument(name);
        return (answer.status && answer.status.description) || JSON.stringify(answer);
      } catch (e) {
        return String(e.message);
      }
    },
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
})(), true)"""


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


def main(run_class, doc):
    import argparse

    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.dirname(os.path.dirname(here))
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--host", required=True, help="the ormid-doc-editor executable")
    parser.add_argument("--extension", default=os.path.join(source, "extension"))
    parser.add_argument("--installer", default=os.path.join(source, "install", "ormid-install"))
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()
    args.host = os.path.abspath(args.host)
    args.extension = os.path.abspath(args.extension)
    args.installer = os.path.abspath(args.installer)
    if not os.access(args.host, os.X_OK):
        print(f"FAIL: host {args.host} is not built")
        return 1

    run = run_class(args)
    status = 1
    try:
        status = run.run()
    except Failure as failure:
        print(f"FAIL: {failure}")
        run.dump_logs()
    finally:
        for problem in run.close():
            print(f"FAIL: {problem}")
            status = 1
    if status == 0:
        print(f"{run.browser_name} end-to-end test passed")
    return status
