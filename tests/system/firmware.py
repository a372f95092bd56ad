"""Boots a stick image with UEFI firmware (OVMF) under QEMU, as the device
PC would, and returns what the firmware and the boot image printed."""

import os
import re
import select
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

OVMF_CODE = Path("/usr/share/OVMF/OVMF_CODE.fd")


@dataclass
class FirmwareBoot:
    console: str       # serial console, terminal escape sequences removed
    seconds: float
    powered_off: bool  # the machine ended by itself (the image shut it down)


def readable(raw: bytes) -> str:
    text = raw.decode("utf-8", "replace")
    return re.sub(r"\x1b\[[0-9;=?]*[A-Za-z]", "", text).replace("\r", "")


def boot_stick(image: Path, press_key_after: str = "", timeout: float = 60) -> FirmwareBoot:
    """The stick is attached the way the device PC sees it (USB mass storage
    behind xHCI) as a throwaway snapshot, so the firmware cannot change it.
    Once the console shows `press_key_after`, a key is typed on it."""
    command = [
        "qemu-system-x86_64", "-machine", "q35,accel=tcg", "-m", "256",
        "-nodefaults", "-display", "none", "-no-reboot",
        "-bios", str(OVMF_CODE), "-serial", "stdio",
        "-device", "qemu-xhci,id=xhci",
        "-drive", f"if=none,id=stick,file={image},format=raw,snapshot=on",
        "-device", "usb-storage,bus=xhci.0,drive=stick",
    ]
    started = time.monotonic()
    deadline = started + timeout
    process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    output = b""
    prompted = False
    try:
        while time.monotonic() < deadline:
            # A key typed before the image starts waiting may be flushed
            # away, so keep typing until the machine ends.
            wait = 0.5 if prompted else deadline - time.monotonic()
            ready, _, _ = select.select([process.stdout], [], [], max(0, wait))
            if ready:
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    break
                output += chunk
                prompted = prompted or bool(press_key_after) and press_key_after in readable(output)
            if prompted:
                try:
                    process.stdin.write(b"\r")
                    process.stdin.flush()
                except BrokenPipeError:
                    break
        process.wait(timeout=max(1, deadline - time.monotonic()))
        powered_off = process.returncode == 0
    except subprocess.TimeoutExpired:
        powered_off = False
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return FirmwareBoot(readable(output), time.monotonic() - started, powered_off)
