#!/usr/bin/env python3
"""The desktop tier: the project installed in a Debian desktop guest (systemd,
polkit, udisks2, udiskie) and run by an ordinary user in her local session,
on emulated USB sticks that the host checks afterwards.

    run_desktop_tests.py <paths> --build-rootfs   build (or reuse) the cached guest
    run_desktop_tests.py <paths> --case NAME...   run these cases
    run_desktop_tests.py <paths>                  both, every case

The cases that can share a guest (desktop_cases.ON_ONE_GUEST) run on one
booted guest, in that list's order; the others boot their own.

The build under test is installed in the guest from the Debian package in
--deb-dir when there is one, otherwise by `cmake --install <build> --prefix /usr`.
Exit status 0 when the cases pass, 1 when one fails, 77 when a host tool
that the tier needs is missing (the reason is printed).
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
sys.dont_write_bytecode = True

import desktop_cases  # noqa: E402

SKIP = 77
BUILD_ROOTFS = HERE.parent.parent / "scripts" / "desktop" / "build_rootfs.py"
HOST_TOOLS = ("qemu-system-x86_64", "mmdebstrap", "mke2fs", "sfdisk", "blkid",
              "fsck.fat", "fatlabel", "mkfs.fat", "mcopy", "mdir", "xorriso", "cmake")


def missing_tools() -> list[str]:
    return [tool for tool in HOST_TOOLS if shutil.which(tool) is None]


def rootfs(args) -> Path:
    command = [sys.executable, str(BUILD_ROOTFS), "--suite", args.suite]
    if args.cache:
        command += ["--cache", str(args.cache)]
    result = subprocess.run(command, stdout=subprocess.PIPE, text=True)
    sys.stdout.write(result.stdout)
    if result.returncode == SKIP:
        raise SystemExit(SKIP)
    if result.returncode != 0:
        raise SystemExit(f"building the guest's root file system failed ({result.returncode})")
    return Path(result.stdout.strip().splitlines()[-1])


def write_package_setup(folder: Path, deb: Path) -> None:
    """The package and the script the guest runs to install it with apt
    (its dependencies are already installed: no network needed)."""
    (folder / "package").mkdir()
    shutil.copy(deb, folder / "package")
    setup = folder / "setup"
    setup.write_text("#!/bin/sh\nset -eu\nhere=$(dirname \"$(readlink -f \"$0\")\")\n"
                     "apt-get install -y -q -o Dpkg::Use-Pty=0 \"$here\"/package/*.deb\n")
    setup.chmod(0o755)


def payload_folder(args, work: Path) -> Path:
    """The build under test as the guest installs it, plus the driver."""
    folder = work / "payload"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    debs = sorted(args.deb_dir.glob("*.deb")) if args.deb_dir else []
    if len(debs) > 1:
        raise SystemExit(f"more than one package in {args.deb_dir}: {debs}")
    if debs:
        write_package_setup(folder, debs[0])
    else:
        environment = dict(os.environ, DESTDIR=str(folder / "tree"))
        subprocess.run(["cmake", "--install", str(args.build), "--prefix", "/usr"],
                       env=environment, check=True, stdout=subprocess.DEVNULL)
    shutil.copy(args.driver, folder / "driver")
    watch = getattr(args, "window_watch", None)
    if watch:
        (folder / "files/usr/bin").mkdir(parents=True)
        shutil.copy(watch, folder / "files/usr/bin/sarnovelle-window-watch")
    return folder


def context_in(folder: str, args, root: Path) -> desktop_cases.Context:
    work = args.work / folder
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    with open(args.share / "Info.plist", "rb") as f:
        digest = plistlib.load(f)["SarnovelleImageSHA256"]
    return desktop_cases.Context(
        rootfs=root, work=work, payload=payload_folder(args, work),
        image=(args.share / "BOOTX64.EFI").read_bytes(), digest=digest)


def print_logs(work: Path) -> None:
    for log, size in (("builder-console.log", 3000), ("builder-journal.txt", 12000),
                      ("console.log", 3000), ("journal.txt", 12000)):
        if (work / log).exists():
            print(f"--- {log} (end) ---\n" + (work / log).read_text(errors="replace")[-size:])


def attempt(name: str, call) -> bool:
    started = time.monotonic()
    try:
        note = call()
    except Exception:
        print(f"FAIL {name} after {time.monotonic() - started:.1f} s")
        traceback.print_exc(file=sys.stdout)
        return False
    print(f"PASS {name} in {time.monotonic() - started:.1f} s: {note}")
    return True


def run_own_boot(name: str, args, root: Path) -> bool:
    context = context_in(name, args, root)
    passed = attempt(name, lambda: getattr(desktop_cases, name)(context))
    if passed:
        shutil.rmtree(context.work, ignore_errors=True)  # images add up
    else:
        print_logs(context.work)
    return passed


def run_on_one_guest(names: list[str], args, root: Path) -> list[bool]:
    """The cases one after the other on one booted guest, in the order of
    desktop_cases.ON_ONE_GUEST; each passes or fails on its own."""
    context = context_in("one_guest", args, root)
    results = []
    started = time.monotonic()
    try:
        with context.guest() as guest:
            print(f"guest up in {guest.boot_seconds:.0f} s")
            for name in names:
                passed = attempt(name, lambda: getattr(desktop_cases, name)(context, guest))
                if not passed:
                    guest.save_journal()
                results.append(passed)
    except Exception:
        print(f"FAIL the guest of {', '.join(names)} after {time.monotonic() - started:.1f} s")
        traceback.print_exc(file=sys.stdout)
        results.append(False)
    if all(results):
        shutil.rmtree(context.work, ignore_errors=True)
    else:
        print_logs(context.work)
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--driver", type=Path, required=True, help="the headless driver")
    parser.add_argument("--window-watch", type=Path, help="the window as the tier watches it")
    parser.add_argument("--build", type=Path, required=True, help="the build folder to install")
    parser.add_argument("--share", type=Path, required=True,
                        help="folder with BOOTX64.EFI and Info.plist")
    parser.add_argument("--work", type=Path, required=True, help="scratch folder")
    parser.add_argument("--cache", type=Path, help="root file system cache folder")
    parser.add_argument("--deb-dir", type=Path,
                        help="install the package in this folder, when there is one")
    parser.add_argument("--suite", choices=("bookworm", "trixie"), default="bookworm",
                        help="the Debian release of the guest")
    parser.add_argument("--build-rootfs", action="store_true")
    parser.add_argument("--case", choices=desktop_cases.ALL, action="append")
    args = parser.parse_args()

    missing = missing_tools()
    if missing:
        print("SKIPPED: this machine cannot run the desktop tier; missing: " + ", ".join(missing))
        return SKIP
    started = time.monotonic()
    root = rootfs(args)
    print(f"root file system ready in {time.monotonic() - started:.1f} s: {root}")
    if args.build_rootfs:
        return 0
    names = args.case or desktop_cases.ALL
    on_one = [name for name in desktop_cases.ON_ONE_GUEST if name in names]
    results = run_on_one_guest(on_one, args, root) if on_one else []
    results += [run_own_boot(name, args, root) for name in desktop_cases.OWN_BOOT
                if name in names]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    os.umask(0o022)
    sys.exit(main())
