#!/usr/bin/env python3
"""Builds the throwaway Linux guest of the system test tier.

The guest is Debian's own kernel and an initramfs holding busybox, the
kernel modules a USB stick needs, the disk utility stand-in with the helper
programs it runs, the headless test driver, the boot image with its
Info.plist, and every shared library those programs load (as ldd lists
them). Its /init loads the modules and hands the second serial port to the
driver; when the driver ends, the guest powers off.

The result is cached in the output folder and rebuilt only when one of its
inputs (files, sizes, modification times, this script) changes:
    <out>/vmlinux          the uncompressed kernel (booted through PVH)
    <out>/initramfs.cpio   the initramfs
    <out>/stamp.json       the inputs the two were built from
"""

import argparse
import fcntl
import glob
import hashlib
import json
import lzma
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

# Loaded in this order, each after its modules.dep dependencies.
MODULES = [
    "usb-common", "usbcore", "xhci-hcd", "xhci-pci", "ehci-hcd", "ehci-pci",
    "scsi_common", "scsi_mod", "usb-storage", "uas",
    "crct10dif_common", "crc64", "crc-t10dif", "crc64-rocksoft", "t10-pi",
    "sd_mod", "fat", "vfat",
    "nls_cp437", "nls_ascii", "nls_iso8859-1", "nls_utf8",
]
# No settle time after a stick appears: the tests plug sticks on purpose.
MODULE_PARAMETERS = {"usb-storage": "delay_use=0"}

# Programs the stand-in runs, by their absolute paths.
HELPERS = ["/usr/sbin/sfdisk", "/usr/sbin/mkfs.fat", "/usr/sbin/wipefs",
           "/usr/sbin/blockdev", "/usr/sbin/fsck.fat"]
# The standard tools of the measurement's hand-made baseline, and its script.
BASELINE_TOOLS = ["/usr/bin/dd", "/usr/bin/sha256sum"]
BASELINE_SCRIPT = Path(__file__).resolve().parent / "baseline.sh"

PREFIX = "/opt/sarnovelle"
APP = "sarnovelle-usb-maker"

INIT = """#!/bin/sh
export PATH=/usr/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /media
while read -r module parameters; do
    insmod "/lib/modules/$module" $parameters || echo "guest: insmod $module failed"
done < /etc/modules.load
echo "guest: modules loaded"
{prefix}/bin/sarnovelle-system-driver /dev/ttyS1
echo "guest: driver ended with status $?"
sync
poweroff -f
"""


def kernel_release(kernel: Path) -> str:
    match = re.match(r"vmlinuz-(.+)$", kernel.name)
    if not match:
        sys.exit(f"cannot tell the kernel release of {kernel}")
    return match.group(1)


def default_kernel() -> Path:
    """The newest kernel in /boot whose modules are installed."""
    def version(path: str) -> list:
        return [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", path)]

    kernels = [k for k in glob.glob("/boot/vmlinuz-*")
               if (Path("/lib/modules") / kernel_release(Path(k)) / "modules.dep").exists()]
    if not kernels:
        sys.exit("no kernel with modules in /boot (install linux-image-amd64)")
    return Path(max(kernels, key=version))


def extract_vmlinux(bzimage: bytes) -> bytes:
    """The ELF kernel inside a bzImage (xz, gzip or zstd payload)."""
    for magic, decode in ((b"\xfd7zXZ\x00", _unxz), (b"\x1f\x8b\x08", _gunzip),
                          (b"\x28\xb5\x2f\xfd", _unzstd)):
        start = bzimage.find(magic)
        while start >= 0:
            try:
                elf = decode(bzimage[start:])
                if elf.startswith(b"\x7fELF"):
                    return elf
            except Exception:  # a false match of the magic bytes
                pass
            start = bzimage.find(magic, start + 1)
    raise RuntimeError("no compressed ELF kernel found in the bzImage")


def _unxz(data: bytes) -> bytes:
    return lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data)


def _gunzip(data: bytes) -> bytes:
    import zlib
    return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(data)


def _unzstd(data: bytes) -> bytes:
    return subprocess.run(["zstd", "-dc"], input=data, capture_output=True,
                          check=True).stdout


def module_load_order(release: str) -> list[tuple[str, str]]:
    """(path relative to /lib/modules/<release>, parameters) in load order."""
    root = Path("/lib/modules") / release
    deps: dict[str, list[str]] = {}
    by_name: dict[str, str] = {}
    for line in (root / "modules.dep").read_text().splitlines():
        path, _, rest = line.partition(":")
        deps[path] = rest.split()
        by_name[Path(path).name.removesuffix(".ko").replace("-", "_")] = path
    order: list[str] = []

    def add(path: str) -> None:
        if path in order:
            return
        # modules.dep lists a module's dependencies so that loading them in
        # reverse order satisfies each before it is needed.
        for dep in reversed(deps[path]):
            add(dep)
        order.append(path)

    for name in MODULES:
        path = by_name.get(name.replace("-", "_"))
        if path is None:
            raise RuntimeError(f"module {name} is not in modules.dep")
        add(path)
    names = {by_name[n.replace("-", "_")]: n for n in MODULES}
    return [(p, MODULE_PARAMETERS.get(names.get(p, ""), "")) for p in order]


def shared_libraries(executable: str) -> list[str]:
    """The libraries ldd lists for an executable, loader included."""
    result = subprocess.run(["ldd", executable], capture_output=True, text=True)
    if result.returncode != 0:
        return []  # statically linked
    libraries = []
    for line in result.stdout.splitlines():
        match = re.search(r"=>\s*(/\S+)", line) or re.match(r"\s*(/\S+)", line)
        if match:
            libraries.append(match.group(1))
    return libraries


class Cpio:
    """A newc archive, written in memory."""

    def __init__(self) -> None:
        self.data = bytearray()
        self.inode = 1
        self.names: set[str] = set()

    def _entry(self, name: str, mode: int, body: bytes = b"", rdev=(0, 0)) -> None:
        name = name.lstrip("/")
        if name in self.names:
            return
        self.names.add(name)
        encoded = name.encode() + b"\0"
        fields = [self.inode, mode, 0, 0, 1, 0, len(body), 0, 0, rdev[0], rdev[1],
                  len(encoded), 0]
        self.inode += 1
        self.data += b"070701" + b"".join(b"%08X" % f for f in fields) + encoded
        self._pad()
        self.data += body
        self._pad()

    def _pad(self) -> None:
        self.data += b"\0" * (-len(self.data) % 4)

    def directory(self, name: str) -> None:
        parts = Path(name.lstrip("/")).parts
        for i in range(1, len(parts) + 1):
            self._entry("/".join(parts[:i]), stat.S_IFDIR | 0o755)

    def file(self, name: str, body: bytes, mode: int = 0o644) -> None:
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFREG | mode, body)

    def copy(self, source: str, name: str | None = None) -> None:
        path = Path(source).resolve()
        mode = path.stat().st_mode & 0o777
        self.file(name or source, path.read_bytes(), mode)

    def symlink(self, name: str, target: str) -> None:
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def device(self, name: str, major: int, minor: int) -> None:
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFCHR | 0o600, rdev=(major, minor))

    def finish(self) -> bytes:
        self._entry("TRAILER!!!", 0)
        return bytes(self.data)


def build_initramfs(args, release: str) -> bytes:
    cpio = Cpio()
    for d in ("dev", "proc", "sys", "tmp", "run", "media", "mnt", "etc", "usr/bin",
              "usr/sbin", "usr/lib"):
        cpio.directory(d)
    cpio.symlink("bin", "usr/bin")
    cpio.symlink("sbin", "usr/sbin")
    cpio.symlink("lib", "usr/lib")
    cpio.device("dev/console", 5, 1)
    cpio.device("dev/null", 1, 3)

    cpio.copy(args.busybox, "/usr/bin/busybox")
    applets = subprocess.run([args.busybox, "--list"], capture_output=True, text=True,
                             check=True).stdout.split()
    helpers = [h for h in HELPERS + BASELINE_TOOLS if os.path.exists(h)]
    helper_names = {Path(h).name for h in helpers}
    for applet in applets:
        if applet not in helper_names and applet not in ("busybox", "[", "[["):
            cpio.symlink(f"/usr/bin/{applet}", "busybox")

    executables = {
        f"{PREFIX}/bin/sarnovelle-system-driver": args.driver,
        f"{PREFIX}/libexec/{APP}/diskutil": args.stand_in,
    }
    if args.app:
        # The application itself, for its command line.
        executables[f"{PREFIX}/bin/{APP}"] = args.app
    executables.update({h: h for h in helpers})
    libraries: set[str] = set()
    for name, source in executables.items():
        cpio.copy(source, name)
        libraries.update(shared_libraries(source))
    for library in sorted(libraries):
        cpio.copy(library, library)
    cpio.copy(args.boot_image, f"{PREFIX}/share/{APP}/BOOTX64.EFI")
    cpio.copy(args.info_plist, f"{PREFIX}/share/{APP}/Info.plist")
    cpio.copy(str(BASELINE_SCRIPT), f"{PREFIX}/libexec/sarnovelle-measure/baseline.sh")

    lines = []
    for path, parameters in module_load_order(release):
        cpio.copy(f"/lib/modules/{release}/{path}", f"/lib/modules/{path}")
        lines.append(f"{path} {parameters}".rstrip())
    cpio.file("/etc/modules.load", ("\n".join(lines) + "\n").encode())
    # The stand-in names mount folders after the user, as a desktop does.
    cpio.file("/etc/passwd", b"root:x:0:0:root:/root:/bin/sh\n")
    cpio.file("/etc/group", b"root:x:0:\n")
    cpio.file("/init", INIT.format(prefix=PREFIX).encode(), 0o755)
    return cpio.finish()


def inputs_of(args, kernel: Path) -> dict:
    files = [str(kernel), args.driver, args.stand_in, args.boot_image, args.info_plist,
             args.busybox, __file__, str(BASELINE_SCRIPT)] + [
                 h for h in HELPERS + BASELINE_TOOLS if os.path.exists(h)]
    if args.app:
        files.append(args.app)
    described = {}
    for f in files:
        s = os.stat(f)
        described[f] = [s.st_size, s.st_mtime_ns]
    return described


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="cache folder of the guest")
    parser.add_argument("--driver", required=True, help="the headless test driver")
    parser.add_argument("--stand-in", required=True, help="the disk utility stand-in")
    parser.add_argument("--app", help="the application, for its command line")
    parser.add_argument("--boot-image", required=True, help="BOOTX64.EFI")
    parser.add_argument("--info-plist", required=True, help="Info.plist of the image")
    parser.add_argument("--kernel", help="a /boot/vmlinuz-* (default: the newest)")
    parser.add_argument("--busybox", default="/bin/busybox")
    args = parser.parse_args()

    kernel = Path(args.kernel) if args.kernel else default_kernel()
    release = kernel_release(kernel)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    # Two harnesses starting at once build the guest one after the other.
    lock = open(out / ".lock", "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    stamp = out / "stamp.json"
    inputs = inputs_of(args, kernel)
    if (stamp.exists() and json.loads(stamp.read_text()) == inputs
            and (out / "vmlinux").exists() and (out / "initramfs.cpio").exists()):
        return 0

    stamp.unlink(missing_ok=True)
    vmlinux = extract_vmlinux(kernel.read_bytes())
    (out / "vmlinux.tmp").write_bytes(vmlinux)
    os.replace(out / "vmlinux.tmp", out / "vmlinux")
    (out / "initramfs.tmp").write_bytes(build_initramfs(args, release))
    os.replace(out / "initramfs.tmp", out / "initramfs.cpio")
    stamp.write_text(json.dumps(inputs, indent=1))
    digest = hashlib.sha256((out / "initramfs.cpio").read_bytes()).hexdigest()[:16]
    print(f"guest built in {out} (initramfs {digest})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
