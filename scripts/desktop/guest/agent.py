#!/usr/bin/python3
"""Runs the host's commands inside the desktop test guest.

One JSON object per line arrives on a virtio serial port (the one argument):
    {"id": n, "argv": [...], "input": "...", "timeout": s}   run and wait
    {"id": n, "argv": [...], "background": true}            start and go on
and one JSON object per line goes back:
    {"id": n, "rc": status, "out": "...", "err": "..."}     or {"id": n, "pid": p}
The same program serves root (started by systemd) and the logged-in user
(started by her login), so a command runs with exactly that caller's rights
and, for the user, inside her logind session.
"""

import json
import os
import subprocess
import sys
import time


def open_port(path: str):
    # The port appears once udev has handled the device; the user's copy
    # also waits for udev to hand it over.
    for _ in range(600):
        try:
            return open(path, "r+b", buffering=0)
        except OSError:
            time.sleep(0.1)
    sys.exit(f"agent: cannot open {path}")


def answer(request: dict) -> dict:
    argv = request["argv"]
    if request.get("background"):
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        return {"pid": process.pid}
    try:
        result = subprocess.run(argv, input=request.get("input", ""), capture_output=True,
                                text=True, errors="replace",
                                timeout=request.get("timeout", 120))
    except subprocess.TimeoutExpired:
        return {"rc": -1, "out": "", "err": "agent: timed out"}
    except OSError as error:
        return {"rc": 127, "out": "", "err": f"agent: {error}"}
    return {"rc": result.returncode, "out": result.stdout, "err": result.stderr}


def main() -> None:
    port = open_port(sys.argv[1])
    port.write(json.dumps({"ready": os.getuid()}).encode() + b"\n")
    pending = b""
    while True:
        chunk = port.read(65536)
        if not chunk:
            time.sleep(0.05)  # no host on the other end yet
            continue
        pending += chunk
        while b"\n" in pending:
            line, _, pending = pending.partition(b"\n")
            if not line.strip():
                continue
            request = json.loads(line)
            reply = answer(request)
            reply["id"] = request.get("id")
            port.write(json.dumps(reply).encode() + b"\n")


if __name__ == "__main__":
    main()
