#!/usr/bin/env python3
"""Times openDocument and getDocument end to end in a real browser: a page
hands the page library random bytes and gets them back, through the bridge
extension and the host, and the host's log tells how much of that time the
host spent on its frames. The rest is the browser's share: the page
library's base64, the page-extension messages, the service worker's part
requests and joining, and native messaging's framing and JSON.

Usage: bench/browser.py [--host build/bin/ormid-doc-editor] [--browser chromium|firefox]
                        [--reps 3] [MiB ...]   (default 1 8 32)

The browser is started as the browser tests start it (tests/browser), on a
private HOME with the host registered by install/ormid-install and the
stand-in word processor. Each round opens a document of its own name,
fetches it back, checks the bytes and closes it with its file removed; only
the open and the fetch are timed, in the page (performance.now()), with the
page library's base64 of the same bytes timed again on its own.

The host's share of a request is read from its log: from the record of a
frame read ("Read message size", written once the whole body is in) to the
record of its answer's write ("Write message size", written just before the
answer goes out), summed over the request's frames (a fetch is a frame a
part). The log has millisecond timestamps, so a frame is +-1 ms; reading a
request's body off the pipe and writing an answer into it count as the
browser's. The page's and the log's times split the browser's share into
legs: to the host, between the parts, back from the host; in Chromium the
service worker's native port is watched too, which splits them at the worker
(page, worker and log all read the system's clock). For the largest size the
host's time is also split by log record: the time up to each record, which
is the work between it and the record before. Nothing here asserts: the
figures are printed.
"""

import argparse
import datetime
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "browser"))

import harness  # noqa: E402  (the browser tests' launcher and page)

# A 32 MiB round trip on a busy machine takes longer than a test's step may:
# the launchers take their time-out from here when they are imported.
harness.STEP_TIMEOUT = 300.0

LOG_NAME = "OrmidDocEditor"

# Page side: random bytes made in the page, timed calls of the example page's
# client (the page library: base64 on the way out, parts joined by the
# extension and decoded on the way back). Times are milliseconds since the
# epoch, comparable with the worker's and the host log's.
BENCH_HELPERS = r"""(window.ormidBench = (() => {
  // The example page's client, with no time-out of its own: a large
  // document takes longer than its default on a busy machine.
  const { bridge } = window.ormidExample;
  const options = { timeout: 0 };
  const now = () => performance.timeOrigin + performance.now();
  let sent = null;
  let library = null;
  const status = (answer) => (answer && answer.status) || {};
  async function timed(call, base64) {
    const start = now();
    const { answer, bytes } = await call();
    const end = now();
    // The page library's share, timed alone on the same data.
    const base64Start = now();
    base64(answer);
    const base64Ms = now() - base64Start;
    const identical = bytes === undefined ||
      (bytes.length === sent.length && bytes.every((b, i) => b === sent[i]));
    return { start, end, base64Ms, identical, result: status(answer).result,
             description: status(answer).description };
  }
  return {
    async make(size) {
      // The module the example page imported: the same instance, so the
      // same base64 code the page's calls run.
      library = library || await import(new URL('ormid-page.js', location.href).href);
      sent = new Uint8Array(size);
      for (let at = 0; at < size; at += 65536) crypto.getRandomValues(sent.subarray(at, at + 65536));
      return sent.length;
    },
    open(name) {
      return timed(async () => ({ answer: await bridge.open(name, sent, options) }),
                   () => library.toBase64(sent));
    },
    get(name) {
      // As the example page fetches a document: the answer, then its bytes.
      return timed(async () => {
        const answer = await bridge.get(name, options);
        return { answer, bytes: library.fromBase64(answer.contentFile) };
      }, (answer) => library.fromBase64(answer.contentFile));
    },
    async close(name) {
      return status(await bridge.close(name, { ...options, isRemoveFile: true })).result;
    },
  };
})(), true)"""

# Chromium's service worker: when it posts to the host and when the host's
# messages reach it. Set before its first request, which opens the port.
WORKER_WATCH = r"""(() => {
  const now = () => performance.timeOrigin + performance.now();
  const marks = globalThis.ormidBenchMarks = [];
  const connect = chrome.runtime.connectNative.bind(chrome.runtime);
  chrome.runtime.connectNative = (name) => {
    const port = connect(name);
    const post = port.postMessage.bind(port);
    port.postMessage = (message) => { const start = now(); post(message); marks.push(['post', start, now()]); };
    // Added before the bridge's own listener, so it sees a message first.
    port.onMessage.addListener(() => marks.push(['message', now()]));
    return port;
  };
  return true;
})()"""


class LogTail:
    """Reads the host's rolling log as it grows, across its rolls: an open file
    follows its file through the renames, and the next newer file is found by
    the index its successor now has."""

    def __init__(self, directory):
        self.directory = directory
        self.file = None
        self.rest = b""

    def path(self, index):
        suffix = "" if index == 0 else f".{index}"
        return os.path.join(self.directory, f"{LOG_NAME}{suffix}.log")

    def index_of(self, inode):
        for index in range(10):
            try:
                if os.stat(self.path(index)).st_ino == inode:
                    return index
            except OSError:
                pass
        return None

    def lines(self):
        """The complete records written since the last call."""
        data = []
        if self.file is None:
            try:
                self.file = open(self.path(0), "rb")
            except OSError:
                return []
        while True:
            data.append(self.file.read())
            index = self.index_of(os.fstat(self.file.fileno()).st_ino)
            if index == 0:
                break
            if index is None:
                raise RuntimeError("the log rolled past its last file between two readings")
            self.file.close()
            self.file = open(self.path(index - 1), "rb")
        text = self.rest + b"".join(data)
        complete, _, self.rest = text.rpartition(b"\n")
        return complete.split(b"\n") if complete else []


def epoch_ms(line):
    """A record's time (local, to the millisecond) as milliseconds since the epoch."""
    return datetime.datetime.strptime(line[:23].decode(), "%Y-%m-%d %H:%M:%S.%f").timestamp() * 1000


def record_key(line):
    """A record's place in the code and the first words of its text."""
    head = line[:300].decode("utf-8", "replace")
    try:
        where = head.split("] [", 1)[1].split("]", 1)
        return f"{where[0].rsplit('::', 1)[-1]} {' '.join(where[1].split()[:2])}"
    except IndexError:
        return head[24:80]


class HostTime:
    """The host's time on one request: each frame read paired with the next
    answer written, and the time up to each record in between, by record."""

    def __init__(self, lines):
        self.frames = []  # (read, written), epoch ms
        self.stages = {}
        started = previous = None
        for line in lines:
            head = line[:200]
            if len(line) < 24 or not line[:1].isdigit():
                continue
            if b"Read message size: " in head:
                if not head.rstrip().endswith(b"size: 0"):
                    started = previous = epoch_ms(line)
                continue
            if started is None:
                continue
            now = epoch_ms(line)
            key = record_key(line)
            self.stages[key] = self.stages.get(key, 0.0) + now - previous
            previous = now
            if b"Write message size: " in head:
                self.frames.append((started, now))
                started = None

    @property
    def ms(self):
        return sum(written - read for read, written in self.frames)


def legs(page, host):
    """The browser's share by leg, from the page's and the log's times."""
    frames = host.frames
    return {"to host": frames[0][0] - page["start"],
            "between": sum(read - written for (_, written), (read, _) in zip(frames, frames[1:])),
            "from host": page["end"] - frames[-1][1]}


def worker_legs(page, host, marks):
    """The same legs split at Chromium's service worker, by the times it saw on its native port."""
    posts = [m for m in marks if m[0] == "post"]
    messages = [m[1] for m in marks if m[0] == "message"]
    if not posts or len(messages) < len(host.frames) or len(posts) < len(host.frames):
        return None
    # To the host: each request from the worker's post until the host has read it.
    to_host = sum(read - post[1] for post, (read, _) in zip(posts, host.frames))
    # Back: each answer from the host's write until the worker has it.
    to_worker = sum(message - written for message, (_, written) in zip(messages, host.frames))
    return {"page>worker": posts[0][1] - page["start"], "worker>host": to_host,
            "host>worker": to_worker, "worker>page": page["end"] - messages[-1]}


def peak_rss_mib(pid_file):
    try:
        with open(pid_file) as f, open(f"/proc/{int(f.read())}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except (OSError, ValueError):
        pass
    return None


def start(run):
    """Starts the browser with the extension, registers the host and opens the example page."""
    executable = run.find_browser()
    if not executable:
        sys.exit(f"{run.browser_name} is not installed")
    wrapper = run.write_host_wrapper()
    run.start_browser(executable)  # before any thread of this process (see harness.Run.run)
    run.install_host(wrapper)
    run.server = harness.serve(os.path.join(run.args.extension, "example"))
    run.open_page(f"http://127.0.0.1:{run.server.server_address[1]}/index.html?ext={harness.CHROMIUM_EXTENSION_ID}")
    run.evaluate(BENCH_HELPERS)
    worker = getattr(run, "worker_value", None)
    if worker:
        worker(WORKER_WATCH)
    return worker


def measure(run, worker, tail, sizes, reps):
    """{(MiB, command): [(page's result, HostTime, legs), ...]}"""
    figures = {}
    # The first request starts the host; a warm-up round keeps that out of the figures.
    plan = [(sizes[0], "warm-up")] + [(mib, rep) for mib in sizes for rep in range(reps)]
    for mib, rep in plan:
        run.evaluate(f"ormidBench.make({mib * 1024 * 1024})")
        name = f"bench {mib} MiB {rep}.docx"
        for command, call in (("openDocument", "open"), ("getDocument", "get")):
            tail.lines()
            if worker:
                worker("globalThis.ormidBenchMarks.length = 0")
            page = run.evaluate(f"ormidBench.{call}({json.dumps(name)})")
            host = HostTime(tail.lines())
            if page.get("result") != "success" or not page.get("identical"):
                raise harness.Failure(f"{command} of {mib} MiB: {page}")
            split = legs(page, host)
            if worker:
                split.update(worker_legs(page, host, worker("globalThis.ormidBenchMarks")) or {})
            if rep != "warm-up":
                figures.setdefault((mib, command), []).append((page, host, split))
        if run.evaluate(f"ormidBench.close({json.dumps(name)})") != "success":
            raise harness.Failure(f"closeDocument of {name} failed")
        print(f"  {mib} MiB, round {rep}: done", file=sys.stderr, flush=True)
    return figures


def report(browser, figures):
    median = statistics.median
    print(f"{browser}: ms end to end in the page (min, median, max); medians of the host's share (its log),")
    print("the browser's (the rest) and, timed alone, the page library's base64 of the same data")
    print(f"{'MiB':>4} {'command':<13} {'frames':>6} {'min':>7} {'median':>7} {'max':>7} {'host':>7} "
          f"{'browser':>8} {'base64':>7} {'host %':>7}")
    for (mib, command), rounds in figures.items():
        total = [page["end"] - page["start"] for page, _, _ in rounds]
        print(f"{mib:>4} {command:<13} {len(rounds[0][1].frames):>6} {min(total):>7.0f} {median(total):>7.0f} "
              f"{max(total):>7.0f} {median(h.ms for _, h, _ in rounds):>7.0f} "
              f"{median(t - h.ms for t, (_, h, _) in zip(total, rounds)):>8.0f} "
              f"{median(p['base64Ms'] for p, _, _ in rounds):>7.0f} "
              f"{median(h.ms / t * 100 for t, (_, h, _) in zip(total, rounds)):>6.0f}%")
    names = [name for name in next(iter(figures.values()))[0][2]
             if all(name in split for rounds in figures.values() for _, _, split in rounds)]
    print("the browser's share by leg, ms (medians): 'to host' from the call until the host has read the request,")
    print("'between' the parts' round trips, 'from host' from the host's last write until the call returns;")
    print("Chromium: the same split at the service worker's native port, summed over the frames")
    print(f"{'MiB':>4} {'command':<13} " + " ".join(f"{n:>11}" for n in names))
    for (mib, command), rounds in figures.items():
        print(f"{mib:>4} {command:<13} " + " ".join(f"{median(s[n] for _, _, s in rounds):>11.0f}" for n in names))


def report_stages(figures, mib):
    """Where the host's time goes for one size: median ms up to each record, over all frames."""
    for command in ("openDocument", "getDocument"):
        rounds = figures.get((mib, command), [])
        keys = {key for _, host, _ in rounds for key in host.stages}
        stages = sorted(((statistics.median(h.stages.get(k, 0.0) for _, h, _ in rounds), k) for k in keys),
                        reverse=True)
        shown = "; ".join(f"{ms:.0f} up to '{key}'" for ms, key in stages if ms >= 1)
        if rounds:
            print(f"host, {command} {mib} MiB, ms: {shown or 'nothing over 1 ms'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sizes", nargs="*", type=int, default=[1, 8, 32], help="document sizes in MiB")
    parser.add_argument("--host", default=os.path.join(SOURCE, "build", "bin", "ormid-doc-editor"))
    parser.add_argument("--browser", choices=["chromium", "firefox"], default="chromium")
    parser.add_argument("--reps", type=int, default=3, help="timed rounds per size")
    parser.add_argument("--extension", default=os.path.join(SOURCE, "extension"))
    parser.add_argument("--installer", default=os.path.join(SOURCE, "install", "ormid-install"))
    parser.add_argument("--keep", action="store_true", help="keep the browser's temporary directory")
    args = parser.parse_args()
    for name in ("host", "extension", "installer"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if not os.access(args.host, os.X_OK):
        sys.exit(f"host {args.host} is not built")

    if args.browser == "chromium":
        import browser_test as launcher
        run_class = launcher.ChromiumRun
    else:
        import firefox_test as launcher
        run_class = launcher.FirefoxRun
    # The launcher's progress lines go to stderr with ours, away from the table.
    launcher.step = harness.step = lambda text: print(f"  {text}", file=sys.stderr, flush=True)

    run = run_class(args)
    status = 0
    began = time.monotonic()
    try:
        worker = start(run)
        figures = measure(run, worker, LogTail(run.host_tmp), args.sizes, args.reps)
        print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
        report(run.browser_name, figures)
        report_stages(figures, max(args.sizes))
        rss = peak_rss_mib(run.host_pid_file)
        if rss is not None:
            print(f"host peak RSS {rss:.0f} MiB; {time.monotonic() - began:.0f} s in all")
    except harness.Failure as failure:
        print(f"FAIL: {failure}")
        run.dump_logs()
        status = 1
    finally:
        for problem in run.close():
            print(f"note: {problem}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
