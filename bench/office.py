#!/usr/bin/env python3
"""Times the office server through the host: its start cold (a new profile)
and warm, a second host attaching to the office the first one left running,
and openDocument / saveDocument / closeDocument, with the office's memory.

Usage: bench/office.py [host binary] [rounds] [--display]

With --display the office gets a window on an Xvfb display of its own (the
office keeps documents open past its host only then); without it, it runs
headless. Nothing here asserts: the figures are printed.
"""
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


class Host:
    def __init__(self, binary, env):
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

    def request(self, **fields):
        body = json.dumps(dict(messageId="m", contentId="c", **fields)).encode()
        self.proc.stdin.write(struct.pack("<I", len(body)) + body)
        self.proc.stdin.flush()
        while True:
            n = struct.unpack("<I", self.proc.stdout.read(4))[0]
            answer = json.loads(self.proc.stdout.read(n))
            if "messageId" in answer:  # not an event message
                return answer

    def timed(self, **fields):
        start = time.perf_counter()
        answer = self.request(**fields)
        return (time.perf_counter() - start) * 1000, answer.get("status", {}).get("result")

    def end(self):
        self.proc.stdin.close()
        self.proc.wait()


def start_display():
    for number in range(70, 100):
        if os.path.exists(f"/tmp/.X11-unix/X{number}"):
            continue
        server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                return server, f":{number}"
            time.sleep(0.05)
        server.kill()
    sys.exit("no display could be started")


def office_rss_mib(marker):
    rss = 0
    for pid in os.listdir("/proc"):
        try:
            cmdline = open(f"/proc/{pid}/cmdline", "rb").read()
            if b"soffice" in cmdline and marker.encode() in cmdline:
                for line in open(f"/proc/{pid}/status"):
                    if line.startswith("VmRSS:"):
                        rss += int(line.split()[1])
        except OSError:
            pass
    return rss / 1024


def report(label, values):
    values = [v for v in values if v is not None]
    if not values:
        print(f"{label:<34} (none)")
    elif len(values) == 1:
        print(f"{label:<34} {values[0]:8.0f} ms")
    else:
        print(f"{label:<34} min {min(values):6.0f}  median {statistics.median(values):6.0f}  "
              f"max {max(values):6.0f} ms  ({len(values)} runs)")


def main():
    args = [a for a in sys.argv[1:] if a != "--display"]
    display = "--display" in sys.argv[1:]
    binary = args[0] if args else "build/bin/ormid-doc-editor"
    rounds = int(args[1]) if len(args) > 1 else 3
    tmp = tempfile.mkdtemp(prefix="ormid-office-bench-")
    server = None
    try:
        with open(os.path.join(tmp, "words.txt"), "w") as f:
            f.write("The quick brown fox jumps over the lazy dog.\n" * 200)
        subprocess.run(["soffice", "--headless", f"-env:UserInstallation=file://{tmp}/convert",
                        "--convert-to", "docx", "--outdir", tmp, os.path.join(tmp, "words.txt")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        content = base64.b64encode(open(os.path.join(tmp, "words.docx"), "rb").read()).decode()
        home = os.path.join(tmp, "home")
        os.mkdir(home)
        env = dict(os.environ, TMPDIR=tmp, HOME=home, ORMID_EDITOR="libreoffice")
        env.pop("XDG_CONFIG_HOME", None)
        if display:
            server, env["DISPLAY"] = start_display()
        else:
            env.pop("DISPLAY", None)
            env.pop("WAYLAND_DISPLAY", None)
        print(f"office {'with a window on ' + env['DISPLAY'] if display else 'headless'}, {rounds} rounds")

        host = Host(binary, env)
        cold, result = host.timed(command="openEditor")
        report(f"office start, cold ({result})", [cold])
        warm = []
        for _ in range(rounds):
            host.request(command="closeEditor")
            elapsed, _ = host.timed(command="openEditor")
            warm.append(elapsed)
        report("office start, warm", warm)

        opened, saved, closed = [], [], []
        for i in range(rounds):
            name = f"doc{i}.docx"
            opened.append(host.timed(command="openDocument", nameFile=name, contentFile=content)[0])
            saved.append(host.timed(command="saveDocument", nameFile=name)[0])
            closed.append(host.timed(command="closeDocument", nameFile=name, isRemoveFile=True)[0])
        report("openDocument", opened)
        report("saveDocument", saved)
        report("closeDocument", closed)

        host.request(command="openDocument", nameFile="kept.docx", contentFile=content)
        print(f"{'office RSS, one document open':<34} {office_rss_mib(tmp):8.0f} MiB")
        if display:
            # The office outlives its host while it holds a document; the next
            # host attaches to it.
            attach = []
            for _ in range(rounds):
                host.end()
                start = time.perf_counter()
                host = Host(binary, env)
                result = host.request(command="saveDocument", nameFile="kept.docx")["status"]["result"]
                attach.append((time.perf_counter() - start) * 1000 if result == "success" else None)
            report("host start + attach + saveDocument", attach)
        host.request(command="closeEditor")
        host.end()
    finally:
        if server:
            server.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
