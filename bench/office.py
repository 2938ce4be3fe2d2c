#!/usr/bin/env python3
"""Times the office server through the host: start of the office (openEditor),
openDocument, saveDocument, closeDocument, and the office's memory.

Usage: bench/office.py [host binary] [rounds]
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


def main():
    host = sys.argv[1] if len(sys.argv) > 1 else "build/bin/ormid-doc-editor"
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    tmp = tempfile.mkdtemp(prefix="ormid-office-bench-")
    try:
        with open(os.path.join(tmp, "words.txt"), "w") as f:
            f.write("The quick brown fox jumps over the lazy dog.\n" * 200)
        subprocess.run(["soffice", "--headless", f"-env:UserInstallation=file://{tmp}/profile",
                        "--convert-to", "docx", "--outdir", tmp, os.path.join(tmp, "words.txt")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        content = base64.b64encode(open(os.path.join(tmp, "words.docx"), "rb").read()).decode()
        env = dict(os.environ, TMPDIR=tmp, ORMID_EDITOR="libreoffice")
        proc = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

        def request(**fields):
            body = json.dumps(dict(messageId="m", contentId="c", **fields)).encode()
            proc.stdin.write(struct.pack("<I", len(body)) + body)
            proc.stdin.flush()
            while True:
                n = struct.unpack("<I", proc.stdout.read(4))[0]
                answer = json.loads(proc.stdout.read(n))
                if "messageId" in answer:  # not an event message
                    return answer

        def timed(label, **fields):
            start = time.perf_counter()
            answer = request(**fields)
            elapsed = (time.perf_counter() - start) * 1000
            result = answer.get("status", {}).get("result")
            print(f"{label:<28} {elapsed:8.0f} ms  {result}")
            return elapsed

        timed("openEditor (office start)", command="openEditor")
        for i in range(rounds):
            name = f"doc{i}.docx"
            timed(f"openDocument {name}", command="openDocument", nameFile=name, contentFile=content)
            timed(f"saveDocument {name}", command="saveDocument", nameFile=name)
            if i == rounds - 1:
                rss = 0
                for pid in os.listdir("/proc"):
                    try:
                        cmdline = open(f"/proc/{pid}/cmdline", "rb").read()
                        if b"soffice" in cmdline and tmp.encode() in cmdline:
                            for line in open(f"/proc/{pid}/status"):
                                if line.startswith("VmRSS:"):
                                    rss += int(line.split()[1])
                    except OSError:
                        pass
                print(f"{'office RSS':<28} {rss / 1024:8.0f} MiB")
            timed(f"closeDocument {name}", command="closeDocument", nameFile=name, isRemoveFile=True)
        timed("closeEditor", command="closeEditor")
        proc.stdin.close()
        proc.wait()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
