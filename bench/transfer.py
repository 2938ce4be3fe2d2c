#!/usr/bin/env python3
"""Measures the whole getDocument transfer: a client requests every part back
to back and joins them. Prints wall seconds, MB/s of document bytes and the
host's peak RSS for documents of random bytes.

Usage: bench/transfer.py <host binary> [MiB ...]   (default 8 64 128)
"""
import base64
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time


def read_exactly(stream, n):
    data = stream.read(n)  # a buffered reader blocks until n bytes or the end
    if len(data) != n:
        raise EOFError("host closed its output")
    return data


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def transfer(host, mib):
    tmp = tempfile.mkdtemp(prefix="ormid-bench-")
    try:
        docs = os.path.join(tmp, "ormid_doc_editor")
        os.makedirs(docs)
        document = os.urandom(mib * 1024 * 1024)
        with open(os.path.join(docs, "doc.bin"), "wb") as f:
            f.write(document)
        env = dict(os.environ, TMPDIR=tmp, ORMID_EDITOR="none")
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        request = json.dumps({"messageId": "bench", "contentId": "c", "command": "getDocument",
                              "nameFile": "doc.bin"}).encode()
        frame = struct.pack("<I", len(request)) + request
        parts = []
        answers = 0
        start = time.perf_counter()
        while True:
            proc.stdin.write(frame)
            proc.stdin.flush()
            n = struct.unpack("<I", read_exactly(proc.stdout, 4))[0]
            answer = json.loads(read_exactly(proc.stdout, n))
            answers += 1
            parts.append(answer["split"]["part"])
            if answer["split"]["last"]:
                break
        joined = "".join(parts)
        elapsed = time.perf_counter() - start
        complete = json.loads(joined)  # checked outside the timed part
        rss = peak_rss_kib(proc.pid)
        proc.stdin.close()
        proc.wait()
        ok = base64.b64decode(complete["contentFile"]) == document
        return elapsed, answers, rss, ok
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    host = sys.argv[1] if len(sys.argv) > 1 else "build/bin/ormid-doc-editor"
    sizes = [int(s) for s in sys.argv[2:]] or [8, 64, 128]
    print(f"{'MiB':>5} {'seconds':>8} {'MB/s':>8} {'answers':>8} {'peak RSS MiB':>13} {'RSS/doc':>8} ok")
    for mib in sizes:
        elapsed, answers, rss, ok = transfer(host, mib)
        mb = mib * 1024 * 1024 / 1e6
        print(f"{mib:>5} {elapsed:>8.3f} {mb / elapsed:>8.1f} {answers:>8} {rss / 1024:>13.1f} "
              f"{rss / 1024 / mib:>8.2f} {ok}")


if __name__ == "__main__":
    main()
