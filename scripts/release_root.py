#!/usr/bin/env python3
"""A Debian root of another release to build, unit-test and package the
project in, made by mmdebstrap from the host's Debian mirror (the same URIs
as the host's apt sources, another suite) and cached outside any build tree.

    release_root.py make SUITE             build (or reuse) the root; prints its folder
    release_root.py run [--bind DIR]... ROOT -- COMMAND...
                                           run COMMAND as root inside it

The root holds the packages of `scripts/setup.sh --list-build` and ccache;
it lives in <cache>/<suite>-<digest>/root, the digest taken of the package
list, the apt sources and ROOT_FORMAT. The cache is
${XDG_CACHE_HOME:-~/.cache}/sarnovelle-usb-maker/release-root unless --cache
says otherwise; <cache>/ccache-<suite> keeps the compiler cache between runs.

`run` works in a private mount namespace: the root bind-mounted on itself
(so that / is in the mount table, which the disk utility insists on),
/proc, /sys, /dev, the host's resolv.conf and every --bind folder at its own
path, then chroot. Exit status 77 when a tool is missing or the host's apt
sources name no Debian mirror (the reason is printed).
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
sys.path.insert(0, str(HERE / "desktop"))
sys.dont_write_bytecode = True

from build_rootfs import debian_mirrors, source_lines  # noqa: E402

SKIP = 77
SUITES = ("bookworm", "trixie")
# Raised whenever the way the root is made changes (not how it is entered).
ROOT_FORMAT = "1"

# Mounts, chroot and the command; $1 is the root, $2 the number of --bind
# folders, then the folders, then the command.
ENTER = r'''
set -eu
root=$1; count=$2; shift 2
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
while [ "$count" -gt 0 ]; do
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
    shift; count=$((count - 1))
done
exec chroot "$root" "$@"
'''


def default_cache() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "sarnovelle-usb-maker" / "release-root"


def build_packages() -> list[str]:
    listed = subprocess.run(["sh", str(HERE / "setup.sh"), "--list-build"], check=True,
                            stdout=subprocess.PIPE, text=True).stdout.split()
    return listed + ["ccache"]


def digest_of_inputs(packages: list[str], lines: list[str]) -> str:
    digest = hashlib.sha256()
    digest.update("\n".join([ROOT_FORMAT] + packages + lines).encode())
    return digest.hexdigest()[:16]


def unmount_below(folder: Path) -> None:
    """Whatever an interrupted mmdebstrap left mounted in its tree, deepest
    first, so that removing the tree never reaches into /proc, /sys or /dev."""
    prefix = str(folder.resolve()) + "/"
    with open("/proc/self/mounts") as mounts:
        points = [line.split()[1] for line in mounts]
    for point in sorted((p for p in points if p.startswith(prefix)), key=len, reverse=True):
        subprocess.run(["umount", "--lazy", point], check=False)


def make(args) -> int:
    if shutil.which("mmdebstrap") is None:
        print("SKIPPED: mmdebstrap is missing")
        return SKIP
    lines = source_lines(debian_mirrors(), args.suite)
    if not lines:
        print("SKIPPED: the host's apt sources name no Debian mirror to build the root from")
        return SKIP
    packages = build_packages()
    out = args.cache / f"{args.suite}-{digest_of_inputs(packages, lines)}"
    args.cache.mkdir(parents=True, exist_ok=True)
    with open(args.cache / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (out / "root" / "usr" / "bin" / "cmake").exists():
            started = time.monotonic()
            work = out.with_name(out.name + ".tmp")
            if work.exists():
                unmount_below(work)
                shutil.rmtree(work, ignore_errors=True)
            work.mkdir(parents=True)
            subprocess.run(["mmdebstrap", "--variant=apt", "--format=directory",
                            "--include=" + ",".join(packages),
                            args.suite, str(work / "root")] + lines, check=True)
            shutil.rmtree(out, ignore_errors=True)
            os.replace(work, out)
            print(f"{args.suite} root built in {time.monotonic() - started:.0f} s", flush=True)
    (args.cache / f"ccache-{args.suite}").mkdir(exist_ok=True)
    print(out / "root")
    return 0


def run(args) -> int:
    if os.geteuid() != 0:
        print("SKIPPED: entering the root needs root (mounts and chroot)")
        return SKIP
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        raise SystemExit("no command to run")
    binds = [str(Path(b).resolve()) for b in args.bind]
    for folder in binds:
        Path(folder).mkdir(parents=True, exist_ok=True)
    environment = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                   "HOME": "/root", "LANG": "C.UTF-8", "TMPDIR": "/tmp"}
    for name in ("CCACHE_DIR", "CCACHE_BASEDIR", "DEB_BUILD_OPTIONS", "CI"):
        if name in os.environ:
            environment[name] = os.environ[name]
    result = subprocess.run(["unshare", "--mount", "--propagation", "private",
                             "sh", "-c", ENTER, "enter", str(args.root.resolve()), str(len(binds))]
                            + binds + ["env", "-i"] + [f"{k}={v}" for k, v in environment.items()]
                            + command)
    return result.returncode


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", type=Path, default=default_cache())
    verbs = parser.add_subparsers(dest="verb", required=True)
    making = verbs.add_parser("make")
    making.add_argument("suite", choices=SUITES)
    running = verbs.add_parser("run")
    running.add_argument("root", type=Path)
    running.add_argument("--bind", action="append", default=[])
    running.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    return make(args) if args.verb == "make" else run(args)


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main())
