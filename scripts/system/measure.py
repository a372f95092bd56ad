#!/usr/bin/env python3
"""Measures the preparation run against the device floor, in the system
tier's guest, on the same emulated stick.

For each image size: a fresh 2 GiB stick is plugged; the floor is measured
on it (mkfs.fat of a 1024 MiB partition, then a direct-I/O write and a
direct-I/O read of the image's bytes); then the real makeUsb runs on the
same stick. The ratio is makeUsb's time over the floor's sum. Each size is
measured `--rounds` times; the medians are reported.
"""

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "system"))
sys.dont_write_bytecode = True

from guest import Guest, GuestError, Stick  # noqa: E402

GiB = 1 << 30
MiB = 1 << 20


def measure_once(guest: Guest, work: Path, index: int, size: int | None,
                 default_size: int) -> dict:
    stick = Stick(f"measure{index}", work / f"measure{index}.img", 2 * GiB,
                  f"SARN-MEASURE-{index:04d}").create()
    try:
        device = guest.plug(stick)
        floor = {}
        for line in guest.ask(f"floor {device} {size or default_size}", timeout=600):
            _, what, seconds = line.split()
            floor[what] = float(seconds)
        guest.send(f"make {device} stamps=1" + (f" bytes={size}" if size else ""))
        lines = guest.until(("OK", "ERROR"), timeout=900)
        outcome = next((l for l in lines if l.startswith("OUTCOME ")), "")
        if not outcome.startswith("OUTCOME DONE."):
            raise GuestError(f"makeUsb did not succeed: {lines[-6:]}")
        make = float(next(l for l in lines if l.startswith("TIME make ")).split()[2])
        guest.pull(stick)
    finally:
        stick.path.unlink(missing_ok=True)
    hashed = guest.ask(f"hash {size or default_size}", timeout=600)
    sha256 = float(hashed[0].split()[2])
    return {**floor, "floor": sum(floor.values()), "make": make, "sha256": sha256,
            **phases(lines, make)}


# The run's phases, each ended by the log line that starts the next.
PHASES = [("check", "Erasing "), ("partition", "Writing "), ("copy", "Remounting "),
          ("verify", "Read back SHA-256 ")]


def phases(lines: list[str], total: float) -> dict:
    """Seconds of each phase of one run, from the driver's STAMP lines."""
    stamps = {}
    for stamp, line in zip(lines, lines[1:]):
        if stamp.startswith("STAMP ") and line.startswith("LOG "):
            for name, start in PHASES:
                if line[4:].startswith(start) and name not in stamps:
                    stamps[name] = float(stamp.split()[1])
    result, previous = {}, 0.0
    for name, _ in PHASES:
        result[name] = stamps[name] - previous
        previous = stamps[name]
    result["eject"] = total - previous
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True, help="the build folder")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    share = args.build / "stage" / "share" / "sarnovelle-usb-maker"
    guest_dir = args.build / "tests" / "system" / "guest"
    work = args.build / "tests" / "system" / "measure"
    work.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, str(ROOT / "scripts" / "system" / "build_guest.py"),
                    "--out", str(guest_dir),
                    "--driver", str(args.build / "tests" / "system" / "sarnovelle-system-driver"),
                    "--stand-in", str(args.build / "stage" / "libexec" / "sarnovelle-usb-maker"
                                      / "diskutil"),
                    "--boot-image", str(share / "BOOTX64.EFI"),
                    "--info-plist", str(share / "Info.plist")], check=True)
    default_size = (share / "BOOTX64.EFI").stat().st_size

    sizes = [(f"default image ({default_size} bytes)", None), ("512 MiB image", 512 * MiB)]
    results = {}
    # Room for the 512 MiB image, its read-back copy and the page cache.
    with Guest(guest_dir, work, memory_mib=3072) as guest:
        print(f"guest booted in {guest.boot_seconds:.1f} s")
        index = 0
        for name, size in sizes:
            rounds = []
            for _ in range(args.rounds):
                index += 1
                rounds.append(measure_once(guest, work, index, size, default_size))
                r = rounds[-1]
                print(f"  {name}: mkfs {r['mkfs']:.2f} s, write {r['write']:.2f} s, "
                      f"read {r['read']:.2f} s, floor {r['floor']:.2f} s, "
                      f"makeUsb {r['make']:.2f} s", flush=True)
            results[name] = {key: statistics.median(r[key] for r in rounds)
                             for key in rounds[0]}

    print(f"\nMedians of {args.rounds} rounds (TCG guest, emulated USB stick, cache=none):")
    print(f"{'image':<34}{'mkfs':>8}{'write':>8}{'read':>8}{'floor':>8}{'makeUsb':>9}{'ratio':>7}")
    for name, m in results.items():
        print(f"{name:<34}{m['mkfs']:>8.2f}{m['write']:>8.2f}{m['read']:>8.2f}"
              f"{m['floor']:>8.2f}{m['make']:>9.2f}{m['make'] / m['floor']:>7.2f}")
    print("\nmakeUsb by phase (medians, seconds): check = re-listing, partition = "
          "partitionDisk + mount wait, copy = directory + write + flush, verify = "
          "unmount + mount + mount wait + read-back + SHA-256 (of which SHA-256 alone), "
          "eject")
    for name, m in results.items():
        print(f"{name:<34}" + "  ".join(f"{p} {m[p]:.2f}" for p, _ in PHASES + [("eject", "")])
              + f"  (sha256 {m['sha256']:.2f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
