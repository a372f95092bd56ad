#!/usr/bin/env python3
"""Measures the preparation run against the same job done by hand, in the
system tier's guest, on the same kind of emulated stick.

The baseline is baseline.sh: sfdisk with the same table, a re-read,
mkfs.fat, mount, cp and sync, unmount and mount, a direct-I/O dd of the
file into sha256sum, the comparison, unmount and eject. For each image size
and round, a fresh 2 GiB stick gets the baseline and another fresh stick
gets the real makeUsb (which of the two goes first alternates, so that the
noise of a shared machine hits both). Reported are the medians per phase,
the ratio makeUsb / baseline and the peak resident memory of a run (each
run is a fresh process of the driver).
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

# The run's phases, each ended by the log line that starts the next.
PHASES = [("check", "Erasing "), ("partition", "Writing "), ("copy", "Remounting "),
          ("verify", "Read back SHA-256 ")]
PHASE_NAMES = [p for p, _ in PHASES] + ["eject"]


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


def fresh_stick(work: Path, index: int) -> Stick:
    return Stick(f"measure{index}", work / f"measure{index}.img", 2 * GiB,
                 f"SARN-MEASURE-{index:04d}").create()


def run_baseline(guest: Guest, work: Path, index: int, size: int | None) -> dict:
    stick = fresh_stick(work, index)
    try:
        device = guest.plug(stick)
        times = {}
        for line in guest.ask(f"baseline {device}" + (f" bytes={size}" if size else ""),
                              timeout=900):
            _, what, seconds = line.split()
            times[what] = float(seconds)
        guest.pull(stick)
    finally:
        stick.path.unlink(missing_ok=True)
    result = {p: times.get(p, 0.0) for p in PHASE_NAMES}
    result["total"] = times["baseline"]
    return result


def run_make(guest: Guest, work: Path, index: int, size: int | None) -> dict:
    stick = fresh_stick(work, index)
    try:
        device = guest.plug(stick)
        guest.send(f"make {device} stamps=1" + (f" bytes={size}" if size else ""))
        lines = guest.until(("OK", "ERROR"), timeout=900)
        outcome = next((l for l in lines if l.startswith("OUTCOME ")), "")
        if not outcome.startswith("OUTCOME DONE."):
            raise GuestError(f"makeUsb did not succeed: {lines[-6:]}")
        guest.pull(stick)
    finally:
        stick.path.unlink(missing_ok=True)
    total = float(next(l for l in lines if l.startswith("TIME make ")).split()[2])
    peak = int(next(l for l in lines if l.startswith("PEAK ")).split()[1])
    return {**phases(lines, total), "total": total, "peak": peak}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True, help="the build folder")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--shipped-only", action="store_true",
                        help="leave out the 512 MiB image")
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

    sizes = [(f"default image ({default_size} B)", None, default_size),
             ("512 MiB image", 512 * MiB, 512 * MiB)][:1 if args.shipped_only else 2]
    results = {}
    # Room for a 512 MiB image in the run, its copy in /tmp for the
    # baseline and the page cache.
    with Guest(guest_dir, work, memory_mib=3072) as guest:
        print(f"guest booted in {guest.boot_seconds:.1f} s")
        index = 0
        for name, size, image_bytes in sizes:
            makes, baselines = [], []
            for round_number in range(args.rounds):
                order = [run_baseline, run_make]
                if round_number % 2:
                    order.reverse()
                for runner in order:
                    index += 1
                    (baselines if runner is run_baseline else makes).append(
                        runner(guest, work, index, size))
                print(f"  {name}, round {round_number + 1}: makeUsb {makes[-1]['total']:.2f} s, "
                      f"baseline {baselines[-1]['total']:.2f} s, "
                      f"peak {makes[-1]['peak'] / MiB:.1f} MiB", flush=True)
            hashed = guest.ask(f"hash {image_bytes}", timeout=600)
            results[name] = {
                "make": {k: statistics.median(r[k] for r in makes) for k in makes[0]},
                "baseline": {k: statistics.median(r[k] for r in baselines)
                             for k in baselines[0]},
                "sha256": float(hashed[0].split()[2]),
                "image": image_bytes,
            }

    print(f"\nMedians of {args.rounds} rounds (TCG guest, emulated USB stick, cache=none), "
          "seconds. Phases: check = re-listing; partition = table, file system and mount "
          "(+ mount wait); copy = directory, write, flush; verify = remount (+ mount wait), "
          "uncached read-back and SHA-256; eject = compare, unmount, eject.")
    print(f"{'image':<28}{'phase':<11}{'makeUsb':>9}{'baseline':>10}{'ratio':>7}")
    for name, r in results.items():
        for phase in PHASE_NAMES + ["total"]:
            m, b = r["make"][phase], r["baseline"][phase]
            ratio = f"{m / b:7.2f}" if b > 0 else f"{'-':>7}"
            print(f"{name if phase == 'check' else '':<28}{phase:<11}{m:>9.2f}{b:>10.2f}{ratio}")
        peak = r["make"]["peak"]
        print(f"{'':<28}{'peak RSS':<11}{peak / MiB:>8.1f}M  (image + "
              f"{(peak - r['image']) / MiB:.1f} MiB; target image + 64 MiB)")
        print(f"{'':<28}{'SHA-256':<11}{r['sha256']:>9.2f}  (digest of the image alone, "
              "in memory)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
