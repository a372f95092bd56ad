#!/usr/bin/env python3
"""Builds (or finds in the cache) the root file system of the desktop test
guest: Debian bookworm or trixie (--suite) by mmdebstrap with systemd, D-Bus, polkit, udisks2,
udiskie, the project's runtime libraries and a kernel, a user "tester"
(uid 1000) logged in on tty1, and the test agents (guest/).

The result lives outside any build tree, keyed by a digest of the package
list and of every file that shapes the image:
    <cache>/<digest>/root.img     ext4 image of the root file system (raw)
    <cache>/<digest>/vmlinuz      the guest's kernel
    <cache>/<digest>/initrd.img   its initramfs (finds the root by label)
The cache is ${XDG_CACHE_HOME:-~/.cache}/sarnovelle-usb-maker/desktop unless
--cache says otherwise. Prints the folder on the last line.
"""

import argparse
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
GUEST_FILES = HERE / "guest"

PACKAGES = [
    # the desktop's plumbing
    "systemd", "systemd-sysv", "libpam-systemd", "dbus", "polkitd", "udev", "kmod",
    # (trixie's apt variant leaves out login, which the console autologin needs)
    "udisks2", "udiskie", "dosfstools", "fdisk", "passwd", "login", "procps",
    "e2fsprogs", "lvm2", "cryptsetup-bin", "mdadm",
    # a kernel that finds its root file system on virtio, USB and LVM
    "linux-image-amd64", "initramfs-tools",
    # the project's runtime libraries common to both releases, so that its
    # package installs offline (RUNTIME has the ones named per release)
    "libqt6widgets6", "qt6-qpa-plugins", "libblkid1", "libfdisk1", "libudisks2-0",
    # the test agents
    "python3", "python3-gi", "gir1.2-polkit-1.0",
    # the window on a display of its own, read and driven as a screen reader does
    "xvfb", "at-spi2-core", "python3-pyatspi",
]
# The libraries whose package names differ between the releases.
RUNTIME = {
    "bookworm": ["libplist3", "libssl3", "libglib2.0-0"],
    "trixie": ["libplist-2.0-4", "libssl3t64", "libglib2.0-0t64"],
}
ROOT_LABEL = "snroot"
FREE_BYTES = 1 << 30  # room for the payload and the journal


def debian_mirrors() -> list[str]:
    """The Debian archive URIs apt on this host uses (deb822 or one-line)."""
    uris: list[str] = []
    sources = [Path("/etc/apt/sources.list")] + sorted(Path("/etc/apt/sources.list.d").glob("*"))
    for path in sources:
        if not path.is_file() or path.suffix not in (".list", ".sources"):
            continue
        for line in path.read_text(errors="replace").splitlines():
            line = line.strip()
            if line.startswith("URIs:"):
                uris += line.split()[1:]
            elif line.startswith("deb "):
                uris += [w for w in line.split()[1:] if "://" in w][:1]
    debian = [u.rstrip("/") for u in uris if u.rstrip("/").endswith(("/debian", "/debian-security"))]
    return list(dict.fromkeys(debian))


def source_lines(mirrors: list[str], suite: str) -> list[str]:
    """The guest's apt sources: the host's Debian mirror with another suite;
    none when the host's sources name no Debian mirror."""
    main = [m for m in mirrors if m.endswith("/debian")]
    security = [m for m in mirrors if m.endswith("/debian-security")]
    if not main:
        return []
    lines = [f"deb {main[0]} {suite} main", f"deb {main[0]} {suite}-updates main"]
    if security:
        lines.append(f"deb {security[0]} {suite}-security main")
    return lines


def packages(suite: str) -> list[str]:
    return PACKAGES + RUNTIME[suite]


def digest_of_inputs(suite: str, lines: list[str]) -> str:
    digest = hashlib.sha256()
    digest.update("\n".join(packages(suite) + lines).encode())
    for path in sorted([Path(__file__).resolve()] + list(GUEST_FILES.iterdir())):
        digest.update(path.name.encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()[:16]


def default_cache() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "sarnovelle-usb-maker" / "desktop"


def tree_bytes(root: Path) -> int:
    total = 0
    for folder, _, files in os.walk(root):
        for name in files:
            try:
                total += os.lstat(os.path.join(folder, name)).st_size
            except OSError:
                pass
    return total


def build(out: Path, suite: str, lines: list[str]) -> None:
    work = out.with_name(out.name + ".tmp")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    root = work / "root"
    started = time.monotonic()
    subprocess.run(["mmdebstrap", "--variant=apt", "--format=directory",
                    "--include=" + ",".join(packages(suite)),
                    # before the kernel's package builds the initramfs
                    "--essential-hook=" + f'mkdir -p "$1/etc/initramfs-tools/conf.d" && '
                    f'cp "{GUEST_FILES}/initramfs.conf" "$1/etc/initramfs-tools/conf.d/sarnovelle" && '
                    f'mkdir -p "$1/etc/initramfs-tools/hooks" && '
                    f'cp "{GUEST_FILES}/initramfs-hook" "$1/etc/initramfs-tools/hooks/sarnovelle"',
                    "--customize-hook=" + f'"{GUEST_FILES}/customize.sh" "$1" "{GUEST_FILES}"',
                    suite, str(root)] + lines, check=True)
    print(f"mmdebstrap: {time.monotonic() - started:.0f} s", flush=True)
    kernels = sorted((root / "boot").glob("vmlinuz-*"))
    initrds = sorted((root / "boot").glob("initrd.img-*"))
    if not kernels or not initrds:
        raise SystemExit("the bootstrapped tree has no kernel or initramfs in /boot")
    shutil.copyfile(kernels[-1], work / "vmlinuz")
    shutil.copyfile(initrds[-1], work / "initrd.img")
    size = (tree_bytes(root) * 5 // 4 + FREE_BYTES) // (1 << 20)
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-L", ROOT_LABEL, "-d", str(root),
                    str(work / "root.img"), f"{size}M"], check=True)
    shutil.rmtree(root)
    shutil.rmtree(out, ignore_errors=True)
    os.replace(work, out)
    print(f"root file system built in {time.monotonic() - started:.0f} s", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=Path, default=default_cache())
    parser.add_argument("--suite", choices=sorted(RUNTIME), default="bookworm")
    args = parser.parse_args()
    for tool in ("mmdebstrap", "mke2fs"):
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is missing")
            return 77
    lines = source_lines(debian_mirrors(), args.suite)
    if not lines:
        print("SKIPPED: the host's apt sources name no Debian mirror to build the guest from")
        return 77
    out = args.cache / digest_of_inputs(args.suite, lines)
    args.cache.mkdir(parents=True, exist_ok=True)
    with open(args.cache / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not all((out / name).exists() for name in ("root.img", "vmlinuz", "initrd.img")):
            build(out, args.suite, lines)
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
