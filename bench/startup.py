#!/usr/bin/env python3
"""Times the host's start and a small request's round trip.

Start: a fresh host for every run, with ORMID_EDITOR=none and a temporary
directory of its own, from the moment the process is created until the answer
to its first request (sent at once) has been read, then until it has exited
after its input closed. The host's log splits the start into its legs: to
the log's first record, from there until the request was read, and the
request itself; a program that does nothing, started the same way, shows
what any start costs on the machine.

Round trip: one running host answers the same small request again and again.

Two requests each: getDocument of a 1 KiB file (no word processor involved)
and openEditor (the word processor's class looked up; with none there is none
to start). Nothing here asserts: the figures are printed.

Usage: bench/startup.py [host binary] [runs]   (default build/bin/ormid-doc-editor 50)
"""
import datetime
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

REQUESTS = {
    "getDocument": {"command": "getDocument", "nameFile": "small.txt"},
    "openEditor": {"command": "openEditor"},
}


def frame(fields):
    body = json.dumps(dict(messageId="m", contentId="c", destination="ormidDocEditorNative", **fields)).encode()
    return struct.pack("<I", len(body)) + body


def read_answer(stream):
    header = stream.read(4)
    if len(header) != 4:
        raise EOFError("the host closed its output")
    n = struct.unpack("<I", header)[0]
    answer = json.loads(stream.read(n))
    if answer.get("messageId") != "m":
        raise RuntimeError(f"unexpected message {answer}")
    return answer


def private_directory():
    tmp = tempfile.mkdtemp(prefix="ormid-startup-")
    documents = os.path.join(tmp, "ormid_doc_editor")
    os.makedirs(documents)
    with open(os.path.join(documents, "small.txt"), "wb") as f:
        f.write(os.urandom(1024))
    return tmp


def environment(tmp):
    return dict(os.environ, TMPDIR=tmp, ORMID_EDITOR="none")


def log_times(tmp):
    """Epoch ms of the log's first record, of the first frame read and of its answer's write."""
    first = read = written = None
    with open(os.path.join(tmp, "OrmidDocEditor.log"), "rb") as log:
        for line in log:
            if not line[:1].isdigit():
                continue
            at = datetime.datetime.strptime(line[:23].decode(), "%Y-%m-%d %H:%M:%S.%f").timestamp() * 1000
            if first is None:
                first = at
            if read is None and b"Read message size: " in line:
                read = at
            elif read is not None and b"Write message size: " in line:
                written = at
                break
    return first, read, written


def cold_start(host, request):
    """One fresh host: ms to the first answer and to its exit, and the log's legs."""
    tmp = private_directory()
    try:
        wall = time.time() * 1000
        began = time.perf_counter()
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment(tmp))
        proc.stdin.write(request)
        proc.stdin.flush()
        read_answer(proc.stdout)
        answered = time.perf_counter()
        proc.stdin.close()
        proc.wait()
        ended = time.perf_counter()
        first, read, written = log_times(tmp)
        return {"first answer": (answered - began) * 1000, "exit": (ended - answered) * 1000,
                "to log start": first - wall, "log start>read": read - first, "read>answer": written - read}
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def round_trips(host, request, runs):
    tmp = private_directory()
    try:
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment(tmp))
        times = []
        for run in range(runs + 5):  # the first few warm the caches
            began = time.perf_counter()
            proc.stdin.write(request)
            proc.stdin.flush()
            read_answer(proc.stdout)
            if run >= 5:
                times.append((time.perf_counter() - began) * 1000)
        proc.stdin.close()
        proc.wait()
        return times
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def spawn_baseline(runs):
    """Start to exit of a program that does nothing: what any start costs here."""
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        subprocess.run(["true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        times.append((time.perf_counter() - began) * 1000)
    return times


def row(label, values):
    return (f"{label:<34} {min(values):>7.2f} {statistics.median(values):>7.2f} {max(values):>7.2f}")


def main():
    host = sys.argv[1] if len(sys.argv) > 1 else "build/bin/ormid-doc-editor"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    if not os.access(host, os.X_OK):
        sys.exit(f"host {host} is not built")
    print(f"{runs} runs each, ORMID_EDITOR=none; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"{'ms':<34} {'min':>7} {'median':>7} {'max':>7}")
    print(row("start to exit of true(1)", spawn_baseline(runs)))
    for command, fields in REQUESTS.items():
        request = frame(fields)
        starts = [cold_start(host, request) for _ in range(runs)]
        for leg in starts[0]:
            print(row(f"start, {command}: {leg}", [s[leg] for s in starts]))
    for command, fields in REQUESTS.items():
        print(row(f"round trip, {command}", round_trips(host, frame(fields), runs)))


if __name__ == "__main__":
    main()
