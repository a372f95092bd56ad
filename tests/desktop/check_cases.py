"""Desktop tier: sticks checked by the ordinary user from the command line
(`sarnovelle-usb-maker --check`), through udisks2's read-only mount. Each
case takes the stick's bytes on the host before and after the check and
names the check's time."""

import hashlib
import subprocess
import time
from pathlib import Path

import desktop_cases as dc
from desktop_guest import DesktopGuest, Stick

import cases as system_cases  # noqa: E402  (tests/system, put on the path by desktop_guest)

PROGRAM = "/usr/bin/sarnovelle-usb-maker"
CASES = ["check_made_stick", "check_changed_boot_file", "check_blank_stick", "check_automounted_stick"]

# The stick the first case makes and the later ones plug again.
MADE = {"path": None, "plugs": 0}


def check(guest: DesktopGuest, stick: Stick) -> tuple[int, str, float]:
    """--check on the plugged stick as the user: exit status, the verdict
    line and the seconds it took; the stick's bytes on the host must not
    change."""
    guest.root.run(["sync"])
    before = dc.digest_of(stick.path)
    disk = dc.listed_id(guest, stick)
    started = time.monotonic()
    result = guest.user.run([PROGRAM, "--check", disk], check=False, timeout=300)
    seconds = time.monotonic() - started
    guest.root.run(["sync"])
    if dc.digest_of(stick.path) != before:
        raise AssertionError(f"the check changed the stick's bytes:\n{result.stdout}{result.stderr}")
    verdicts = [line.split("  ", 1)[1] for line in result.stdout.splitlines()
                if line.startswith(f"{disk}: ") and "READY" in line]
    if not verdicts:
        raise AssertionError(f"no verdict line:\n{result.stdout}{result.stderr}")
    return result.returncode, verdicts[-1], seconds


def plug_again(guest: DesktopGuest, path: Path, size: int) -> Stick:
    """The made stick plugged in once more (a new QEMU device on its image)."""
    MADE["plugs"] += 1
    stick = Stick(f"made{MADE['plugs']}", path, size, "SARN-MADE-0042")
    guest.plug(stick)
    return stick


def pull(guest: DesktopGuest, stick: Stick) -> None:
    """Pulls the stick and lets QEMU close its image, which may then be
    plugged in again under another name."""
    guest.pull(stick)
    dc.wait_for(lambda: stick.device not in guest.blocks(), f"{stick.device} gone", 30)
    for node in (stick.name, f"{stick.name}-file"):
        guest.qmp.command("blockdev-del", **{"node-name": node})


def expect(status: int, line: str, wanted_status: int, wanted: str) -> None:
    if status != wanted_status or line != wanted:
        raise AssertionError(f"exit {status}, {line!r}; expected exit {wanted_status}, {wanted!r}")


def boot_file(path: Path) -> bytes:
    start = system_cases.PARTITION_START * system_cases.SECTOR
    return subprocess.run(["mtype", "-i", f"{path}@@{start}", f"::{system_cases.BOOT_FILE}"],
                          check=True, capture_output=True).stdout


def put_boot_file(path: Path, content: bytes, work: Path) -> None:
    start = system_cases.PARTITION_START * system_cases.SECTOR
    copy = work / "BOOTX64.EFI"
    copy.write_bytes(content)
    subprocess.run(["mcopy", "-o", "-i", f"{path}@@{start}", str(copy), f"::{system_cases.BOOT_FILE}"],
                   check=True, capture_output=True)
    copy.unlink()


def check_made_stick(context: dc.Context, guest: DesktopGuest) -> str:
    """A stick the run made and ejected, plugged in again: READY, unmounted
    again afterwards."""
    made = context.stick("made")
    guest.plug(made)
    dc.prepare(context, guest, made)
    pull(guest, made)
    MADE["path"], MADE["size"] = made.path, made.size
    stick = plug_again(guest, made.path, made.size)
    # udiskie mounts the new volume; for this case it is unmounted first.
    point = dc.wait_for(lambda: dc.mount_point(guest, stick.device + "1"), "udiskie's mount", 120)
    guest.user.run(["udisksctl", "unmount", "--no-user-interaction", "-b", f"/dev/{stick.device}1"])
    status, line, seconds = check(guest, stick)
    expect(status, line, 0, f"READY: {stick.device} holds this image (SHA-256 {context.digest}).")
    if dc.mount_point(guest, stick.device + "1"):
        raise AssertionError("the check left the volume mounted")
    pull(guest, stick)
    return f"READY; check {seconds:.1f} s; automounted at {point} before"


def check_changed_boot_file(context: dc.Context, guest: DesktopGuest) -> str:
    """The made stick with one byte of its boot file changed on the host:
    NOT READY naming the file's digest."""
    original = boot_file(MADE["path"])
    changed = bytearray(original)
    changed[len(changed) // 2] ^= 0x01
    put_boot_file(MADE["path"], bytes(changed), context.work)
    stick = plug_again(guest, MADE["path"], MADE["size"])
    try:
        # udiskie's mount comes first; the check reads the file there.
        dc.wait_for(lambda: dc.mount_point(guest, stick.device + "1"), "udiskie's mount", 120)
        status, line, seconds = check(guest, stick)
        digest = hashlib.sha256(bytes(changed)).hexdigest().upper()
        expect(status, line, 1, f"NOT READY: the boot file differs from this image: SHA-256 {digest}.")
    finally:
        guest.user.run(["udisksctl", "unmount", "--no-user-interaction", "-b", f"/dev/{stick.device}1"],
                       check=False)
        pull(guest, stick)
        put_boot_file(MADE["path"], original, context.work)
    return f"NOT READY; check {seconds:.1f} s"


def check_blank_stick(context: dc.Context, guest: DesktopGuest) -> str:
    """An all-zero stick: NOT READY, no partition table."""
    stick = context.stick("blank")
    guest.plug(stick)
    status, line, seconds = check(guest, stick)
    expect(status, line, 1, "NOT READY: the disk has no partition table.")
    pull(guest, stick)
    return f"NOT READY; check {seconds:.1f} s"


def check_automounted_stick(context: dc.Context, guest: DesktopGuest) -> str:
    """The made stick mounted by udiskie before the check: READY, read where
    it is and still mounted afterwards."""
    stick = plug_again(guest, MADE["path"], MADE["size"])
    point = dc.wait_for(lambda: dc.mount_point(guest, stick.device + "1"), "udiskie's mount", 120)
    status, line, seconds = check(guest, stick)
    expect(status, line, 0, f"READY: {stick.device} holds this image (SHA-256 {context.digest}).")
    if dc.mount_point(guest, stick.device + "1") != point:
        raise AssertionError(f"the volume is no longer mounted at {point}")
    guest.user.run(["udisksctl", "unmount", "--no-user-interaction", "-b", f"/dev/{stick.device}1"])
    pull(guest, stick)
    return f"READY; check {seconds:.1f} s; still mounted at {point}"
