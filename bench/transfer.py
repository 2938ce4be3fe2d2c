#!/usr/bin/env python3
"""Measures the host's share of whole-document transfers against the floor of
the same bytes moved by the system's own tools, in one run.

getDocument: a client that does no JSON work repeats the request until a frame
says "last":true (it only looks for that text), against `base64 FILE | cat`.
openDocument: one request carrying the document (a frame of about 4/3 of it),
against `base64 -d FILE.b64 > OUT` (decoding and writing the same bytes).
Each case runs `--runs` times; min/median/max of the wall time, the host's own
CPU time (user+sys), its peak RSS and the ratios are printed. The host runs
with its log on, as shipped (verbose), in a TMPDIR of its own.

ormid-client (--client): the client fetching the document into a file, with
the host it starts: the wall time of both, the client's own CPU time, and on
the line below the host's CPU time; the peak RSS on the client's line is the
larger of the two.

Usage: bench/transfer.py <host binary> [--runs N] [--open MiB,...] [--client CLIENT] [MiB ...]
       (default: getDocument of 8 64 128 MiB, openDocument of 48 MiB, 5 runs)
"""
import argparse
import base64
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

LAST = b'"split":{"last":true'


def read_exactly(fd, n):
    return bytes(read_into(fd, bytearray(n), n))


def read_into(fd, buffer, n):
    """Reads n bytes into a reused buffer (no allocation per frame); a view."""
    view = memoryview(buffer)[:n]
    got = 0
    while got < n:
        k = os.readv(fd, [view[got:]])
        if k == 0:
            raise EOFError("host closed its output")
        got += k
    return view


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_host(host, tmp):
    """A started host that has answered a first small request, so that its
    start-up is not counted in the transfer."""
    env = dict(os.environ, TMPDIR=tmp, ORMID_EDITOR="none")
    proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, bufsize=0)
    os.write(proc.stdin.fileno(), frame({"messageId": "w", "contentId": "c", "command": "warm"}))
    read_exactly(proc.stdout.fileno(), struct.unpack("<I", read_exactly(proc.stdout.fileno(), 4))[0])
    return proc


def frame(message):
    body = json.dumps(message, separators=(",", ":")).encode()
    return struct.pack("<I", len(body)) + body


def finish(proc):
    cpu = cpu_seconds(proc.pid)
    rss = peak_rss_kib(proc.pid)
    proc.stdin.close()
    proc.wait()
    return cpu, rss


def get_document(host, tmp, path, check):
    proc = start_host(host, tmp)
    request = frame({"messageId": "bench", "contentId": "c", "command": "getDocument",
                     "workingDirectory": os.path.dirname(path), "nameFile": os.path.basename(path)})
    out = proc.stdout.fileno()
    parts = [] if check else None
    answers = 0
    header = bytearray(4)
    body = bytearray(2 << 20)
    start = time.perf_counter()
    while True:
        os.write(proc.stdin.fileno(), request)
        n = struct.unpack("<I", read_into(out, header, 4))[0]
        if n > len(body):
            body = bytearray(n)
        answer = read_into(out, body, n)
        answers += 1
        if parts is not None:
            parts.append(bytes(answer))
        # Inside the part every quotation mark is escaped: the flag is found
        # only as the split member's own.
        if body.find(LAST, 0, n) >= 0:
            break
    elapsed = time.perf_counter() - start
    cpu, rss = finish(proc)
    ok = None
    if parts is not None:  # checked outside the timed part
        joined = "".join(json.loads(p)["split"]["part"] for p in parts)
        with open(path, "rb") as f:
            ok = base64.b64decode(json.loads(joined)["contentFile"]) == f.read()
    return elapsed, cpu, rss, answers, ok


def open_document(host, tmp, request, docs):
    proc = start_host(host, tmp)
    out = proc.stdout.fileno()
    start = time.perf_counter()
    os.write(proc.stdin.fileno(), request)
    n = struct.unpack("<I", read_exactly(out, 4))[0]
    answer = json.loads(read_exactly(out, n))
    elapsed = time.perf_counter() - start
    cpu, rss = finish(proc)
    # Without a word processor the file is written, then removed again with
    # the error "Error create instace word application"; reaching that error means the
    # content was decoded and written.
    ok = answer.get("status", {}).get("description") == "Error create instace word application"
    return elapsed, cpu, rss, 1, ok


def client_fetch(client, host, tmp, path):
    """ormid-client fetching the document into a file, as a person would run
    it: wall time, then the CPU time and peak RSS of the client alone and of
    the host it starts, each measured by time(1) so that nothing of this
    script's own memory is counted."""
    out = os.path.join(tmp, "fetched.bin")
    host_usage = os.path.join(tmp, "host-usage")
    env = dict(os.environ, TMPDIR=tmp, ORMID_EDITOR="none")
    wrapped = f"/usr/bin/time -f '%M %U %S' -o '{host_usage}' '{host}'"
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", client, "--host", wrapped, "getDocument",
                           "workingDirectory=" + os.path.dirname(path) + "/", "nameFile=" + os.path.basename(path),
                           "--out", out], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    elapsed = time.perf_counter() - start
    # The client's figures include its children's: the host's are taken out.
    with open(host_usage) as f:
        host_rss, host_user, host_system = f.read().split()[-3:]
    rss, user, system = proc.stderr.decode().split()[-3:]
    host_cpu = float(host_user) + float(host_system)
    ok = proc.returncode == 0 and os.path.getsize(out) == os.path.getsize(path)
    os.unlink(out)
    return elapsed, float(user) + float(system) - host_cpu, int(rss), 1, ok, host_cpu, int(host_rss)


def floor(command):
    start = time.perf_counter()
    subprocess.run(command, shell=True, check=True)
    return time.perf_counter() - start


def stats(values):
    return min(values), statistics.median(values), max(values)


def fmt(triple, pattern=".3f"):
    return "/".join(format(v, pattern) for v in triple)


def report(kind, mib, ref_bytes, runs, floors):
    walls = [r[0] for r in runs]
    cpus = [r[1] for r in runs]
    rss = [r[2] / 1024 for r in runs]
    fl = stats(floors)
    ok = all(r[4] is not False for r in runs)
    ratio = statistics.median(walls) / fl[1]
    print(f"{kind:<12} {mib:>4} {fmt(stats(walls)):>20} {fmt(stats(cpus), '.2f'):>15} {fmt(fl):>20} "
          f"{ratio:>6.2f} {fmt(stats(rss), '.0f'):>14} {statistics.median(rss) * 1048576 / ref_bytes:>6.2f} "
          f"{runs[0][3]:>6} {ok}")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("sizes", nargs="*", type=int)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--open", default="48", help="openDocument sizes in MiB, comma-separated ('' for none)")
    parser.add_argument("--client", help="also time this ormid-client fetching each getDocument size")
    args = parser.parse_intermixed_args()
    sizes = args.sizes or [8, 64, 128]
    opens = [int(s) for s in args.open.split(",") if s]
    print("wall, cpu and floor in seconds as min/median/max; ratio = median wall / median floor;")
    print("RSS ratio = median peak RSS / document (getDocument) or / frame (openDocument)")
    print(f"{'command':<12} {'MiB':>4} {'wall s':>20} {'cpu s':>15} {'floor s':>20} "
          f"{'ratio':>6} {'peak RSS MiB':>14} {'RSS/x':>6} {'frames':>6} ok")
    tmp = tempfile.mkdtemp(prefix="ormid-bench-")
    try:
        for mib in sizes:
            path = os.path.join(tmp, "doc.bin")
            with open(path, "wb") as f:
                f.write(os.urandom(mib << 20))
            runs, floors = [], []
            for i in range(args.runs):
                floors.append(floor(f"base64 -w0 '{path}' | cat >/dev/null"))
                runs.append(get_document(args.host, tmp, path, check=i == 0))
            report("getDocument", mib, mib << 20, runs, floors)
            if args.client:
                fetches = [client_fetch(args.client, args.host, tmp, path) for _ in range(args.runs)]
                report("ormid-client", mib, mib << 20, fetches, floors)
                hosts = [(f[0], f[5], f[6]) + f[3:5] for f in fetches]
                report("  its host", mib, mib << 20, hosts, floors)
            os.unlink(path)
        for mib in opens:
            document = os.urandom(mib << 20)
            encoded = base64.b64encode(document)
            b64 = os.path.join(tmp, "doc.b64")
            with open(b64, "wb") as f:
                f.write(encoded)
            del document
            docs = os.path.join(tmp, "docs")
            os.makedirs(docs, exist_ok=True)
            request = frame({"messageId": "bench", "contentId": "c", "command": "openDocument",
                             "workingDirectory": docs, "nameFile": "doc.bin",
                             "contentFile": encoded.decode()})
            del encoded
            runs, floors = [], []
            for _ in range(args.runs):
                floors.append(floor(f"base64 -d '{b64}' > '{docs}/floor.bin'"))
                runs.append(open_document(args.host, tmp, request, docs))
            report("openDocument", mib, len(request), runs, floors)
            os.unlink(b64)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
