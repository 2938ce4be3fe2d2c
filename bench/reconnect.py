#!/usr/bin/env python3
"""How often a browser that reconnects at once is refused.

Starts a host, has it open the editor, closes its input (the port closes)
and starts the next one at once, N times; counts the hosts that answered
nothing because another instance still held the lock.

  bench/reconnect.py build/bin/ormid-doc-editor standin 20
  bench/reconnect.py build/bin/ormid-doc-editor libreoffice 20
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import time


def frame(message):
    body = json.dumps(message).encode()
    return struct.pack('<I', len(body)) + body


def main():
    host, editor, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    env = dict(os.environ, TMPDIR=tempfile.mkdtemp(prefix='ormid-reconnect-'), ORMID_EDITOR=editor)
    refused, hosts, started = 0, [], time.time()
    for i in range(count):
        process = subprocess.Popen([host], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, env=env)
        process.stdin.write(frame({'messageId': str(i), 'contentId': 'c', 'command': 'openEditor'}))
        process.stdin.flush()
        header = process.stdout.read(4)
        if len(header) < 4:
            refused += 1
        else:
            process.stdout.read(struct.unpack('<I', header)[0])
        process.stdin.close()
        hosts.append(process)
    for process in hosts:
        process.wait()
    print(f'{editor}: {refused} of {count} reconnects refused, {time.time() - started:.1f} s')


if __name__ == '__main__':
    main()
