#!/usr/bin/env python3
"""Measures a preparation run by the ordinary user in the desktop guest
against the same udisks2 calls made by her by hand, on the same kind of stick.

One desktop guest boots with the build installed. Each round, a fresh 2 GiB
stick gets the run through the user's headless driver (its time-stamped log
lines give the phases) and another fresh stick gets the job done by hand in
her session: Block.Format "dos" on the disk, CreatePartitionAndFormat
(1 MiB in, 1 GiB, type 0x0c, vfat labelled SARNOVELLE), mount, the boot
folder, cp, sync, unmount, mount, a direct-I/O dd into sha256sum, unmount
and power-off, with `udisksctl` where it has the verb and `busctl call
--system` otherwise (the guest has no gdbus), with the options the disk utility gives udisks2. Which
of the two goes first alternates. Reported are the medians per phase, the
ratio run / by hand against the targets, and the median of each call made
by hand, to show where udisks2 itself takes the time.
"""

import argparse
import importlib.util
import plistlib
import statistics
import sys
import time
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "desktop"))
sys.dont_write_bytecode = True

import run_desktop_tests  # noqa: E402
from desktop_cases import listed_id, wait_for  # noqa: E402
from desktop_guest import DesktopGuest, GuestError, Stick, make_payload  # noqa: E402

# The phases of a run are read the way the system tier reads them.
_found = importlib.util.spec_from_file_location("system_measure",
                                               ROOT / "scripts" / "system" / "measure.py")
system_measure = importlib.util.module_from_spec(_found)
_found.loader.exec_module(system_measure)

GiB = 1 << 30
IMAGE = "/usr/share/sarnovelle-usb-maker/BOOTX64.EFI"
PHASE_NAMES = system_measure.PHASE_NAMES  # check, partition, copy, verify, eject
TARGET_PHASE, TARGET_TOTAL = 1.0, 0.9

# The job by hand, run by the user in her session with python3 only for the
# clock: "CALL <phase> <what> <seconds>" per command, then "DIGEST <hex>".
BY_HAND = r'''
import subprocess, sys, time
disk, image = sys.argv[1], sys.argv[2]
part = disk + "1"
block = "/org/freedesktop/UDisks2/block_devices/"
udisks = ["busctl", "call", "--system", "--timeout=300", "org.freedesktop.UDisks2"]

def call(phase, what, argv, shell=False):
    started = time.monotonic()
    result = subprocess.run(argv, shell=shell, capture_output=True, text=True)
    print(f"CALL {phase} {what} {time.monotonic() - started:.4f}", flush=True)
    if result.returncode != 0 and what != "mount":
        sys.exit(f"{what}: {result.stderr.strip() or result.stdout.strip()}")
    return result

def mount(phase):
    # udiskie may have mounted the new volume first: its mount point serves.
    result = call(phase, "mount", ["udisksctl", "mount", "--no-user-interaction",
                                    "-b", "/dev/" + part])
    started = time.monotonic()
    while True:
        point = subprocess.run(["findmnt", "-rn", "-o", "TARGET", "-S", "/dev/" + part],
                               capture_output=True, text=True).stdout.strip()
        if point or time.monotonic() - started > 5:
            break
        time.sleep(0.05)
    if not point:
        sys.exit(f"mount: {result.stderr.strip()}")
    return point

call("partition", "Block.Format", udisks + [
    block + disk, "org.freedesktop.UDisks2.Block", "Format", "sa{sv}",
    "dos", "1", "no-discard", "b", "true"])
call("partition", "CreatePartitionAndFormat", udisks + [
    block + disk, "org.freedesktop.UDisks2.PartitionTable", "CreatePartitionAndFormat",
    "ttssa{sv}sa{sv}", "1048576", str(1 << 30), "0x0c", "", "0",
    "vfat", "2", "label", "s", "SARNOVELLE", "no-discard", "b", "true"])
point = mount("partition")
boot = point + "/EFI/BOOT"
call("copy", "mkdir", ["mkdir", "-p", boot])
call("copy", "cp", ["cp", image, boot + "/BOOTX64.EFI"])
call("copy", "sync", ["sync"])
call("verify", "unmount", ["udisksctl", "unmount", "--no-user-interaction", "-b", "/dev/" + part])
point = mount("verify")
digest = call("verify", "dd|sha256sum",
              f"dd if='{point}/EFI/BOOT/BOOTX64.EFI' iflag=direct bs=1M status=none | sha256sum",
              shell=True).stdout.split()[0]
call("eject", "unmount", ["udisksctl", "unmount", "--no-user-interaction", "-b", "/dev/" + part])
call("eject", "power-off", ["udisksctl", "power-off", "--no-user-interaction", "-b", "/dev/" + disk])
print("DIGEST " + digest)
'''


def fresh_stick(work: Path, index: int) -> Stick:
    return Stick(f"measure{index}", work / f"measure{index}.img", 2 * GiB,
                 f"SARN-MEASURE-{index:04d}").create()


def gone(guest: DesktopGuest, stick: Stick) -> None:
    wait_for(lambda: stick.device not in guest.blocks(), f"the power-off of {stick.device}", 60)
    guest.pull(stick)


def run_by_hand(guest: DesktopGuest, work: Path, index: int, digest: str) -> dict:
    stick = fresh_stick(work, index)
    try:
        device = guest.plug(stick)
        started = time.monotonic()
        result = guest.user.run(["python3", "-", device, IMAGE], stdin=BY_HAND, timeout=900)
        total = time.monotonic() - started
        lines = result.stdout.splitlines()
        if f"DIGEST {digest}" not in lines:
            raise GuestError(f"the read-back by hand did not match: {lines[-3:]}")
        gone(guest, stick)
    finally:
        stick.path.unlink(missing_ok=True)
    result = {phase: 0.0 for phase in PHASE_NAMES}
    calls = {}
    for line in lines:
        if line.startswith("CALL "):
            _, phase, what, seconds = line.split()
            result[phase] += float(seconds)
            calls[f"{phase}: {what}"] = calls.get(f"{phase}: {what}", 0.0) + float(seconds)
    # The host's round trip to the user's agent is not the job's.
    result["total"] = sum(result[phase] for phase in PHASE_NAMES)
    result["wall"] = total
    return {**result, "calls": calls}


def run_product(guest: DesktopGuest, work: Path, index: int) -> dict:
    stick = fresh_stick(work, index)
    try:
        guest.plug(stick)
        disk = listed_id(guest, stick)
        guest.send(f"make {disk} stamps=1")
        lines = guest.until(("OK", "ERROR"), timeout=900)
        outcome = next((l for l in lines if l.startswith("OUTCOME ")), "")
        if not outcome.startswith("OUTCOME DONE."):
            raise GuestError(f"the run did not succeed: {lines[-8:]}")
        gone(guest, stick)
    finally:
        stick.path.unlink(missing_ok=True)
    total = float(next(l for l in lines if l.startswith("TIME make ")).split()[2])
    return {**system_measure.phases(lines, total), "total": total}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True, help="the build folder to install")
    parser.add_argument("--driver", type=Path, help="the headless driver (default: the build's)")
    parser.add_argument("--deb-dir", type=Path,
                        help="install the package in this folder, when there is one")
    parser.add_argument("--cache", type=Path, help="root file system cache folder")
    parser.add_argument("--work", type=Path, help="scratch folder (default: in the build)")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    args.driver = args.driver or args.build / "tests" / "system" / "sarnovelle-system-driver"
    work = args.work or args.build / "tests" / "desktop" / "measure"
    work.mkdir(parents=True, exist_ok=True)
    rootfs = run_desktop_tests.rootfs(SimpleNamespace(cache=args.cache))
    payload = run_desktop_tests.payload_folder(
        SimpleNamespace(deb_dir=args.deb_dir, build=args.build, driver=args.driver), work)
    share = args.build / "stage" / "share" / "sarnovelle-usb-maker"
    with open(share / "Info.plist", "rb") as f:
        digest = plistlib.load(f)["SarnovelleImageSHA256"].lower()

    products, hands = [], []
    with DesktopGuest(rootfs, make_payload(payload, work / "payload.img"), work) as guest:
        print(f"guest up in {guest.boot_seconds:.0f} s", flush=True)
        index = 0
        for round_number in range(args.rounds):
            order = ["hand", "product"]
            if round_number % 2:
                order.reverse()
            for which in order:
                index += 1
                if which == "hand":
                    hands.append(run_by_hand(guest, work, index, digest))
                else:
                    products.append(run_product(guest, work, index))
            print(f"  round {round_number + 1}: run {products[-1]['total']:.2f} s, "
                  f"by hand {hands[-1]['total']:.2f} s "
                  f"({hands[-1]['wall']:.2f} s with the agent's round trip)", flush=True)

    median = lambda rows, key: statistics.median(r[key] for r in rows)  # noqa: E731
    print(f"\nMedians of {args.rounds} rounds (TCG desktop guest, ordinary user in her "
          "session, fresh 2 GiB USB sticks), seconds. Phases: check = re-listing (the run "
          "only); partition = table, file system, mount; copy = folder, write, flush; "
          "verify = remount, uncached read-back, SHA-256; eject = unmount, power-off.")
    print(f"{'phase':<11}{'run':>9}{'by hand':>9}{'ratio':>7}  target")
    failed = []
    for phase in PHASE_NAMES + ["total"]:
        p, h = median(products, phase), median(hands, phase)
        target = TARGET_TOTAL if phase == "total" else TARGET_PHASE
        if h > 0:
            ratio = p / h
            verdict = "met" if ratio <= target else "MISSED"
            if ratio > target:
                failed.append(phase)
            print(f"{phase:<11}{p:>9.2f}{h:>9.2f}{ratio:>7.2f}  <= {target:.1f}x {verdict}")
        else:
            print(f"{phase:<11}{p:>9.2f}{'-':>9}{'-':>7}")
    print("\nThe calls made by hand (medians, seconds):")
    for what in hands[0]["calls"]:
        print(f"  {what:<38}{statistics.median(h['calls'][what] for h in hands):>8.2f}")
    print("\nTargets " + ("all met." if not failed else "missed: " + ", ".join(failed) + "."))
    return 0


if __name__ == "__main__":
    sys.exit(main())
