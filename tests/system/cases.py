"""The cases of the system tier. Each boots its own guest, plugs its own
sticks and checks what the driver reports, the stick image on the host and,
for the happy path, what UEFI firmware makes of the stick."""

import hashlib
import os
import re
import subprocess
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import old_sticks
from firmware import boot_stick
from guest import Guest, GuestError, Stick
from stick_image import SECTOR, Fat32, extract, partition_table

GiB = 1 << 30
MiB = 1 << 20
PARTITION_START = 2048
PARTITION_SECTORS = 2097152
MOUNT_POINT = "/media/root/SARNOVELLE"
BOOT_FILE = "/EFI/BOOT/BOOTX64.EFI"
DONE = "DONE. The USB is ready. You can remove it."

ALL = ["happy_path", "read_errors", "stick_pulled", "silent_corruption",
       "write_protected", "listing", "cli_two_at_once", "used_sticks", "one_stick_one_run"]


@dataclass
class Context:
    guest_dir: Path
    work: Path
    image: bytes
    digest: str

    def guest(self, memory_mib: int = 512) -> Guest:
        return Guest(self.guest_dir, self.work, memory_mib)

    def stick(self, name: str, size: int = 2 * GiB, serial: str = "",
              read_only: bool = False, direct: bool = True) -> Stick:
        return Stick(name, self.work / f"{name}.img", size,
                     serial or f"SARN-{name.upper()}-0042", read_only, direct).create()


@dataclass
class Run:
    """What the driver reported for one makeUsb call."""
    image_line: str = ""
    log: list[str] = field(default_factory=list)
    seconds: float = 0.0
    outcome: str = ""


def make(guest: Guest, device: str, hold: str = "",
         at_hold: Callable[[], None] | None = None, timeout: float = 150) -> Run:
    """Runs makeUsb on `device`; held at the first log line that starts with
    the word `hold`, `at_hold` runs before the run goes on."""
    assert not any(c.isspace() for c in hold)
    command = f"make {device}" + (f" hold={hold}" if hold else "")
    guest.send(command)
    run = Run()
    while True:
        line = guest.line(timeout)
        if line.startswith("IMAGE "):
            run.image_line = line
        elif line.startswith("LOG "):
            run.log.append(line[4:])
        elif line == "HOLD":
            if at_hold:
                at_hold()
            guest.send("go")
        elif line.startswith("TIME make "):
            run.seconds = float(line.split()[2])
        elif line.startswith("OUTCOME "):
            run.outcome = line[8:]
        elif line == "OK":
            return run
        elif line.startswith("ERROR"):
            raise GuestError(f"{command}: {line}")


def listed(guest: Guest) -> list[list[str]]:
    """[id, name, size, serial, label] of every disk listUsbDisks returned."""
    return [line[5:].split("\t") for line in guest.ask("list")]


def check_equal(actual, expected, what: str) -> None:
    if actual != expected:
        raise AssertionError(f"{what}:\n  expected {expected!r}\n  actual   {actual!r}")


def check_lines(actual: list[str], expected: list[str], what: str) -> None:
    if actual != expected:
        raise AssertionError(f"{what}: the lines differ\n  expected:\n    "
                             + "\n    ".join(expected) + "\n  actual:\n    "
                             + "\n    ".join(actual))


def successful_lines(device: str, digest: str, mount: str = MOUNT_POINT) -> list[str]:
    """The log of a successful run, the stand-in's lines included."""
    return [
        f"Erasing {device} and creating FAT32 partition SARNOVELLE",
        f"  diskutil: Started partitioning on {device}",
        "  diskutil: Unmounting disk",
        "  diskutil: Creating the partition map",
        "  diskutil: Waiting for partitions to activate",
        f"  diskutil: Formatting {device}1 as MS-DOS (FAT32) with name SARNOVELLE",
        "  diskutil: Mounting disk",
        f"  diskutil: Volume SARNOVELLE on {device}1 mounted at {mount}",
        f"  diskutil: Finished partitioning on {device}",
        f"Writing {mount}{BOOT_FILE}",
        f"Remounting {device}1 to read back from the disk",
        f"  diskutil: Volume {device}1 unmounted",
        f"  diskutil: Volume {device}1 mounted at {mount}",
        f"Read back SHA-256 {digest}",
        f"  diskutil: Disk /dev/{device} ejected",
    ]


def lines_up_to_remount(device: str) -> list[str]:
    """Every line a run logs up to and including the remount's."""
    lines = successful_lines(device, "")
    return lines[:lines.index(f"  diskutil: Volume {device}1 mounted at {MOUNT_POINT}") + 1]


def written_file(stick: Stick) -> Fat32:
    return Fat32(stick.path, PARTITION_START * SECTOR)


def check_whole_disk(context: Context, stick: Stick) -> None:
    """Nothing of an older layout is left: no GPT header at LBA 1 or at the
    last LBA, blkid's full probe of the whole disk finds the dos table
    alone, and mtools reads the boot image back."""
    for lba in (1, stick.size // SECTOR - 1):
        if old_sticks.header_at(stick.path, lba) == b"EFI PART":
            raise AssertionError(f"a GPT header is left on the stick at LBA {lba}")
    probe = subprocess.run(["blkid", "-p", "-o", "export", str(stick.path)],
                           capture_output=True, text=True)
    found = dict(line.split("=", 1) for line in probe.stdout.splitlines() if "=" in line)
    found.pop("DEVNAME", None)
    if found.get("PTTYPE") != "dos" or set(found) - {"PTTYPE", "PTUUID"}:
        raise AssertionError(f"blkid -p of the whole stick: {found}")
    copy = context.work / "BOOTX64.from-stick"
    subprocess.run(["mcopy", "-n", "-i", f"{stick.path}@@{PARTITION_START * SECTOR}",
                    f"::{BOOT_FILE}", str(copy)], check=True, capture_output=True)
    if copy.read_bytes() != context.image:
        raise AssertionError(f"mcopy of {BOOT_FILE} differs from the boot image")
    copy.unlink()


def check_prepared_stick(context: Context, stick: Stick) -> None:
    check_whole_disk(context, stick)
    table = partition_table(stick.path)
    check_equal(table["label"], "dos", "partition scheme")
    check_equal([(p["start"], p["size"], p["type"]) for p in table["partitions"]],
                [(PARTITION_START, PARTITION_SECTORS, "c")], "partitions")
    volume = written_file(stick)
    check_equal(volume.type_text, "FAT32   ", "file system type in the boot sector")
    check_equal(volume.label, "SARNOVELLE", "volume label in the boot sector")
    check_equal(volume.volume_label_entry(), "SARNOVELLE", "volume label entry")
    # mkfs.fat may leave a few sectors at the end of the partition unused.
    if not PARTITION_SECTORS - volume.sectors_per_cluster < volume.total_sectors <= PARTITION_SECTORS:
        raise AssertionError(f"the file system has {volume.total_sectors} sectors, "
                             f"the partition {PARTITION_SECTORS}")
    if volume.read_file(BOOT_FILE) != context.image:
        raise AssertionError(f"{BOOT_FILE} on the stick is not the boot image")
    partition = extract(stick.path, PARTITION_START * SECTOR, PARTITION_SECTORS * SECTOR,
                        context.work / "partition.img")
    fsck = subprocess.run(["fsck.fat", "-n", str(partition)], capture_output=True, text=True)
    if fsck.returncode != 0:
        raise AssertionError(f"fsck.fat found faults:\n{fsck.stdout}{fsck.stderr}")
    label = subprocess.run(["fatlabel", str(partition)], capture_output=True, text=True)
    check_equal(label.stdout.strip(), "SARNOVELLE", "fatlabel")
    partition.unlink()


def holds_no_data(path: Path) -> bool:
    with open(path, "rb") as f:
        try:
            os.lseek(f.fileno(), 0, os.SEEK_DATA)
        except OSError:
            return True
    return False


# The cases.

def happy_path(context: Context) -> str:
    """A whole run: exact log, DONE, the stick gone after the eject; the
    stick's table and volume on the host; then the firmware boots it."""
    with context.guest() as guest:
        stick = context.stick("happy")
        device = guest.plug(stick)
        check_equal(listed(guest), [[device, "QEMU QEMU HARDDISK", str(2 * GiB), stick.serial,
                                     f"{device}: QEMU QEMU HARDDISK  2.1 GB  (serial {stick.serial})"]],
                    "the listed disks")
        run = make(guest, device)
        check_equal(run.image_line, f"IMAGE {len(context.image)} {context.digest} {context.digest}",
                    "the image the driver used")
        check_lines(run.log, successful_lines(device, context.digest), "the log")
        check_equal(run.outcome, DONE, "the outcome")
        check_equal(guest.blocks(), {}, "the guest's disks after the eject")
        check_equal(listed(guest), [], "the listed disks after the eject")
    check_prepared_stick(context, stick)
    boot = boot_stick(stick.path, press_key_after="Press any key")
    lines = boot.console.splitlines()
    if "SARNOVELLE" not in lines or "This boot stick works." not in lines:
        raise AssertionError("the firmware did not run the boot image:\n" + boot.console[-2000:])
    if not boot.powered_off:
        raise AssertionError("the boot image did not shut the machine down")
    return f"makeUsb {run.seconds:.1f} s in the guest; firmware boot {boot.seconds:.1f} s"


def read_errors(context: Context) -> str:
    """Every sector of the written file fails to read after the remount:
    the run fails with the read message and never says DONE."""
    with context.guest() as guest:
        stick = context.stick("unreadable")
        device = guest.plug(stick)

        def break_the_file() -> None:
            sectors = []
            for position, length in written_file(stick).file_extents(BOOT_FILE):
                sectors += range(position // SECTOR, (position + length - 1) // SECTOR + 1)
            guest.inject_read_errors(stick, sectors[:256])

        run = make(guest, device, hold="Remounting", at_hold=break_the_file)
        check_lines(run.log, lines_up_to_remount(device), "the log")
        check_equal(run.outcome,
                    f"FAILED: Read of {MOUNT_POINT}{BOOT_FILE} failed: Input/output error",
                    "the outcome")
    return run.outcome


# Where the stick is pulled (the run held at the line that starts so) and
# what the run must end with. Pulled after the verification, the image is
# proven on the stick: only the eject fails, and DONE is right.
# The run looks at the stick before each change: pulled, it is missed
# there, before anything else is done.
REPLACED = r"FAILED: The USB disk \w+ was pulled, replaced or attached again during the run; " \
           r"nothing more is done to any disk\."
PULLS = [
    ("Erasing", REPLACED),
    ("Read", re.escape(DONE)),
    ("Writing", REPLACED),
    ("Remounting", REPLACED),
]


def stick_pulled(context: Context) -> str:
    """The stick is pulled at four moments of a run, one stick after the
    other in one guest: each run ends with a clear message and DONE only
    when the image was already verified; the driver never hangs."""
    notes = []
    with context.guest() as guest:
        for index, (hold, outcome) in enumerate(PULLS):
            stick = context.stick(f"pulled{index}")
            device = guest.plug(stick)

            def pull() -> None:
                guest.pull(stick)
                guest.wait_blocks(lambda blocks: device not in blocks)

            run = make(guest, device, hold=hold, at_hold=pull, timeout=90)
            # A stale mount of an earlier pulled stick moves the mount point.
            mount = next((line[len("Writing "):-len(BOOT_FILE)] for line in run.log
                          if line.startswith("Writing ")), MOUNT_POINT)
            expected = successful_lines(device, context.digest, mount)
            reached = next(i for i, line in enumerate(expected) if line.startswith(hold)) + 1
            check_lines(run.log[:reached], expected[:reached], f"the log up to the pull at {hold}")
            after = run.log[reached:]
            # Pulled once verified: ready, and no eject is tried.
            wanted_after = [f"The USB disk {device} was pulled before it was ejected; it is ready."] \
                if hold == "Read" else []
            if after[len(after) - len(wanted_after):] != wanted_after or not all(
                    line.startswith("  diskutil: ") for line in after[:len(after) - len(wanted_after)]):
                raise AssertionError(f"the lines after the pull at {hold}: {after!r}")
            if not re.fullmatch(outcome.replace("{mount}", re.escape(mount)), run.outcome):
                raise AssertionError(f"pulled at {hold}, the outcome is {run.outcome!r}")
            check_equal(guest.blocks(), {}, "the guest's disks")  # the driver still answers
            notes.append(f"{hold}: {run.outcome} ({run.seconds:.1f} s)")
    return "; ".join(notes)


def silent_corruption(context: Context) -> str:
    """Bytes of the written file change on the medium between the write and
    the read-back: the read-back sees them, so it reads the stick."""
    with context.guest() as guest:
        stick = context.stick("corrupt")
        device = guest.plug(stick)
        corrupted = bytearray(context.image)

        def flip() -> None:
            extents = written_file(stick).file_extents(BOOT_FILE)
            with open(stick.path, "r+b") as image:
                for index in (0, len(corrupted) // 2, len(corrupted) - 1):
                    corrupted[index] ^= 0xFF
                    offset = index
                    for position, length in extents:
                        if offset < length:
                            image.seek(position + offset)
                            image.write(bytes([corrupted[index]]))
                            break
                        offset -= length
                image.flush()
                os.fsync(image.fileno())

        run = make(guest, device, hold="Remounting", at_hold=flip)
        expected = hashlib.sha256(corrupted).hexdigest().upper()
        check_lines(run.log, lines_up_to_remount(device) + [f"Read back SHA-256 {expected}"],
                    "the log")
        check_equal(run.outcome, "FAILED: Read-back SHA-256 does not match the image.",
                    "the outcome")
    return run.outcome


def write_protected(context: Context) -> str:
    """A stick with its lock switch on is left out of the listing with the
    reason and untouched: the disk utility's partitionDisk, asked as the
    application asks it, refuses it before any change. With the switch off
    again it is listed at the next listing."""
    reason = "write-protected (its lock switch may be on)"
    with context.guest() as guest:
        stick = context.stick("locked", read_only=True)
        device = guest.plug(stick)
        if any(row[0] == device for row in listed(guest)):
            raise AssertionError(f"the write-protected {device} is listed: {listed(guest)}")
        status, output, _ = command_line(guest, "--list")
        if status != 0 or f"Left out {device}: {reason}" not in output:
            raise AssertionError(f"--list (exit {status}) does not say why {device} is left out: {output!r}")
        arguments = ["partitionDisk", f"/dev/{device}", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S",
                     "Free Space", "none", "R"]
        lines = guest.ask("spawn 1 diskutil " + "\t".join(arguments), 60)
        check_equal([line for line in lines if line.startswith(("OUT ", "STATUS "))],
                    [f"OUT partitionDisk refused: {device} is {reason}; nothing was changed.", "STATUS 1"],
                    "the disk utility's partitionDisk")
        guest.pull(stick)
        for node in (stick.name, f"{stick.name}-file"):
            guest.qmp.command("blockdev-del", **{"node-name": node})
        if not holds_no_data(stick.path):
            raise AssertionError("the write-protected stick was written to")
        unlocked = Stick("unlocked", stick.path, stick.size, stick.serial)
        again = guest.plug(unlocked)
        if not any(row[0] == again and row[3] == stick.serial for row in listed(guest)):
            raise AssertionError(f"the unlocked stick {again} is not listed: {listed(guest)}")
    return f"left out ({reason}), refused and untouched; listed as {again} once unlocked"


def listing(context: Context) -> str:
    """Only sticks of at least 1088 MiB are listed, in the kernel's order."""
    with context.guest() as guest:
        first = context.stick("first", 2 * GiB)
        small = context.stick("small", 1088 * MiB - SECTOR, direct=False)
        second = context.stick("second", 1088 * MiB)
        for stick in (first, small, second):
            guest.plug(stick)
        order = sorted((first.device, small.device, second.device), key=lambda n: (len(n), n))
        check_equal(order, [first.device, small.device, second.device], "the kernel's names")

        def row(stick: Stick, shown: str) -> list[str]:
            return [stick.device, "QEMU QEMU HARDDISK", str(stick.size), stick.serial,
                    f"{stick.device}: QEMU QEMU HARDDISK  {shown} GB  (serial {stick.serial})"]

        listed_disks = listed(guest)
        check_equal(listed_disks, [row(first, "2.1"), row(second, "1.1")], "the listed disks")
    return " / ".join(disk[4] for disk in listed_disks)


def command_line(guest: Guest, *arguments: str, timeout: float = 300) -> tuple[int, list[str], float]:
    """The application's command line in the guest: exit status, output
    lines (standard output and error together) and seconds."""
    lines = guest.ask("cli " + " ".join(arguments), timeout)
    output = [line[4:] for line in lines if line.startswith("CLI ")]
    seconds = next(float(line.split()[2]) for line in lines if line.startswith("TIME cli "))
    status = next(int(line.split()[1]) for line in lines if line.startswith("STATUS "))
    return status, output, seconds


def check_cli_runs(output: list[str], devices: list[str], digest: str) -> None:
    """Each device's run, its lines stamped and prefixed, ends DONE, and the
    closing table says so."""
    for device in devices:
        prefix = f"{device}: "
        lines = [line[len(prefix):] for line in output if line.startswith(prefix)]
        for line in lines:
            if not re.fullmatch(r"\d\d:\d\d:\d\d  .*", line):
                raise AssertionError(f"an unstamped line: {prefix}{line!r}")
        texts = [line[10:] for line in lines]
        check_equal(texts[:1], [f"Erasing {device} and creating FAT32 partition SARNOVELLE"],
                    f"{device}'s first line")
        if f"Read back SHA-256 {digest}" not in texts:
            raise AssertionError(f"{device} read back no matching digest: {texts!r}")
        check_equal(texts[-1:], [DONE], f"{device}'s last line")
        if not any(re.fullmatch(rf"{device}\s+DONE\s+\d+\.\d s", line) for line in output):
            raise AssertionError(f"the table has no DONE line for {device}:\n" + "\n".join(output))


def cli_two_at_once(context: Context) -> str:
    """Two sticks prepared at the same time by the command line, both
    checked on the host; two more one after the other, for the times."""
    with context.guest(memory_mib=1024) as guest:
        sticks = [context.stick(f"cli{index}") for index in range(4)]
        devices = [guest.plug(stick) for stick in sticks]
        status, output, _ = command_line(guest, "--list")
        check_equal(status, 0, "the exit status of --list")
        check_equal([line for line in output if not line.startswith("Left out ")],
                    [f"{stick.device}: QEMU QEMU HARDDISK  2.1 GB  (serial {stick.serial})"
                     for stick in sticks], "the listed disks")

        status, output, together = command_line(guest, "--make", devices[0], devices[1], "--yes")
        if status != 0:
            raise AssertionError(f"two at once ended with {status}:\n" + "\n".join(output))
        check_cli_runs(output, devices[:2], context.digest)
        each = [next(line.split()[2] for line in output if re.fullmatch(rf"{device}\s+DONE\s.*", line))
                for device in devices[:2]]
        # The runs overlap: the second began erasing before the first ended.
        erasing = [next(i for i, line in enumerate(output)
                        if line.startswith(f"{device}: ") and "Erasing" in line) for device in devices[:2]]
        ending = [next(i for i, line in enumerate(output)
                       if line.startswith(f"{device}: ") and line.endswith(DONE)) for device in devices[:2]]
        if not max(erasing) < min(ending):
            raise AssertionError("the two runs did not overlap:\n" + "\n".join(output))

        in_a_row = []
        for device in devices[2:]:
            status, output, seconds = command_line(guest, "--make", device, "--yes")
            if status != 0:
                raise AssertionError(f"{device} ended with {status}:\n" + "\n".join(output))
            check_cli_runs(output, [device], context.digest)
            in_a_row.append(seconds)
        check_equal(guest.blocks(), {}, "the guest's disks after the ejects")
    for stick in sticks:
        check_prepared_stick(context, stick)
    return (f"two sticks at once {together:.1f} s (runs {each[0]} s, {each[1]} s); "
            f"in a row {in_a_row[0]:.1f} + {in_a_row[1]:.1f}"
            f" = {sum(in_a_row):.1f} s (command line in the guest, TCG)")


# Sticks as users bring them, each prepared on the kernel's way.
USED_STICKS = [
    ("hybrid ISO", old_sticks.hybrid_iso),
    ("GPT, ext4 and EFI", old_sticks.gpt_data_and_efi),
    ("FAT32 on the whole disk", old_sticks.fat32_whole_disk),
    # volumes closed before the run: their signatures stand where the new
    # partition goes
    ("an old md member", old_sticks.md_member),
    ("an old LVM physical volume", old_sticks.lvm_member),
    ("a closed LUKS partition", old_sticks.luks_closed),
]


def used_sticks(context: Context) -> str:
    """Each used stick, one after the other in one guest: the run's log is
    a fresh stick's, it ends DONE at the first run and nothing of the old
    layout is left, no old volume's signature in the new partition either."""
    notes = []
    with context.guest() as guest:
        for index, (state, build) in enumerate(USED_STICKS):
            stick = context.stick(f"used{index}")
            build(stick.path)
            device = guest.plug(stick)
            run = make(guest, device)
            check_lines(run.log, successful_lines(device, context.digest), f"the log ({state})")
            check_equal(run.outcome, DONE, f"the outcome ({state})")
            check_prepared_stick(context, stick)
            if build in old_sticks.CLOSED_SIGNATURES and old_sticks.signature_left(stick.path, build):
                raise AssertionError(f"the old signature is left in the new partition ({state})")
            stick.path.unlink()
            notes.append(f"{state}: {run.seconds:.1f} s")
    return "; ".join(notes)


def file_digest(path: Path) -> str:
    with open(path, "rb") as image:
        return hashlib.file_digest(image, "sha256").hexdigest()


def one_stick_one_run(context: Context) -> str:
    """A stick pulled after partitioning and, under the same name, one that
    an earlier run prepared (same serial and size): the run fails saying
    so, never DONE, and leaves the newcomer byte for byte as it was. Then
    a second run started on that stick while the first is under way: the
    second is refused before it touches anything, the first ends DONE."""
    with context.guest() as guest:
        earlier = context.stick("earlier")
        check_equal(make(guest, guest.plug(earlier)).outcome, DONE, "the earlier run")
        guest.pull(earlier)
        newcomer = Stick("newcomer", context.work / "newcomer.img", earlier.size, earlier.serial)
        subprocess.run(["cp", "--sparse=always", str(earlier.path), str(newcomer.path)], check=True)
        before = file_digest(newcomer.path)

        pulled = context.stick("pulled")
        device = guest.plug(pulled)

        def replace() -> None:
            guest.pull(pulled)
            guest.wait_blocks(lambda blocks: device not in blocks)
            guest.ask(f"detach {MOUNT_POINT}")
            check_equal(guest.plug(newcomer), device, "the newcomer's name")

        run = make(guest, device, hold="Writing", at_hold=replace)
        check_equal(run.outcome, f"FAILED: The USB disk {device} was pulled, replaced or attached again "
                    "during the run; nothing more is done to any disk.", "the outcome")
        check_equal(file_digest(newcomer.path), before, "the newcomer's bytes")

        second: list = []
        run = make(guest, device, hold="Writing",
                   at_hold=lambda: second.append(command_line(guest, "--make", device, "--yes")))
        status, output, _ = second[0]
        refusal = f"Another run is preparing {device}; this one stops before touching it."
        if status == 0 or not any(refusal in line for line in output):
            raise AssertionError(f"the second run ended with {status}:\n" + "\n".join(output))
        check_equal(run.outcome, DONE, "the first run")
    check_prepared_stick(context, newcomer)
    return f"replaced: {device} refused after partitioning; second run refused with exit {status}"
