#!/usr/bin/env python3
"""The system tier: the real preparation run (listUsbDisks + makeUsb with the
disk utility stand-in) on emulated USB sticks in a throwaway QEMU guest,
with faults injected from the host, and the prepared stick booted by UEFI
firmware.

    run_system_tests.py <paths> --build-guest   build (or reuse) the guest
    run_system_tests.py <paths> --case NAME     run one case
    run_system_tests.py <paths>                 build the guest, run all cases

Exit status 0 when the cases pass, 1 when one fails, 77 when this machine
cannot run the tier (the reason is printed).
"""

import argparse
import os
import plistlib
import shutil
import subprocess
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.dont_write_bytecode = True  # no caches beside the sources

import cases  # noqa: E402
from firmware import OVMF_CODE  # noqa: E402

SKIP = 77
BUILD_GUEST = HERE.parent.parent / "scripts" / "system" / "build_guest.py"


def missing_requirements() -> list[str]:
    missing = []
    for tool in ("qemu-system-x86_64", "sfdisk", "fsck.fat", "fatlabel", "mkfs.fat", "ldd",
                 "blkid", "mcopy", "mke2fs", "xorriso"):
        if shutil.which(tool) is None:
            missing.append(tool)
    for path in (OVMF_CODE, Path("/bin/busybox")):
        if not path.exists():
            missing.append(str(path))
    if not list(Path("/boot").glob("vmlinuz-*")):
        missing.append("a kernel in /boot (linux-image-amd64)")
    if not list(Path("/lib/modules").glob("*/modules.dep")):
        missing.append("kernel modules in /lib/modules")
    return missing


def build_guest(args) -> None:
    app = ["--app", str(args.app)] if args.app else []
    subprocess.run([sys.executable, str(BUILD_GUEST), "--out", str(args.guest),
                    "--driver", str(args.driver), "--stand-in", str(args.stand_in),
                    "--boot-image", str(args.share / "BOOTX64.EFI"),
                    "--info-plist", str(args.share / "Info.plist")] + app, check=True)


def run_case(name: str, args) -> bool:
    work = args.work / name
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    image = (args.share / "BOOTX64.EFI").read_bytes()
    with open(args.share / "Info.plist", "rb") as f:
        digest = plistlib.load(f)["SarnovelleImageSHA256"]
    context = cases.Context(guest_dir=args.guest, work=work, image=image, digest=digest)
    started = time.monotonic()
    try:
        note = getattr(cases, name)(context)
    except Exception:
        print(f"FAIL {name} after {time.monotonic() - started:.1f} s")
        traceback.print_exc(file=sys.stdout)
        return False
    print(f"PASS {name} in {time.monotonic() - started:.1f} s: {note}")
    shutil.rmtree(work, ignore_errors=True)  # the sparse images add up
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", type=Path, required=True)
    parser.add_argument("--stand-in", type=Path, required=True)
    parser.add_argument("--app", type=Path, help="the application, for its command line")
    parser.add_argument("--share", type=Path, required=True,
                        help="folder with BOOTX64.EFI and Info.plist")
    parser.add_argument("--guest", type=Path, required=True, help="guest cache folder")
    parser.add_argument("--work", type=Path, required=True, help="scratch folder")
    parser.add_argument("--build-guest", action="store_true")
    parser.add_argument("--case", choices=cases.ALL, action="append")
    args = parser.parse_args()

    missing = missing_requirements()
    if missing:
        print("SKIPPED: this machine cannot run the system tier; missing: "
              + ", ".join(missing))
        return SKIP
    if args.build_guest or not args.case:
        build_guest(args)
    if args.build_guest:
        return 0
    results = [run_case(name, args) for name in (args.case or cases.ALL)]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    os.umask(0o022)
    sys.exit(main())
