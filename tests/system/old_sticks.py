"""Sticks as users bring them: one builder per state of an old stick, each
writing into a fresh (all zero) stick image on the host with the host's
tools, so that both guest tiers start from the same bytes."""

import shutil
import struct
import subprocess
from pathlib import Path

MiB = 1 << 20
SECTOR = 512


def run(*command: str, stdin: str = "") -> None:
    subprocess.run(command, input=stdin, text=True, check=True, capture_output=True)


def copy_files(image: str, files: dict[str, bytes], scratch: Path) -> None:
    """Puts `files` into the FAT volume `image` (as mtools names an image)."""
    for name, data in files.items():
        source = scratch / Path(name).name
        source.write_bytes(data)
        run("mcopy", "-i", image, str(source), f"::/{name}")
        source.unlink()


def old_gpt(path: Path) -> None:
    """A GPT with one partition, both headers present."""
    run("sfdisk", "-q", str(path), stdin="label: gpt\n,\n")


def linux_partition(path: Path) -> None:
    """An MBR with one empty Linux partition at 1 MiB over the rest of the
    disk, for a volume built on it later."""
    run("sfdisk", "-q", str(path), stdin="label: dos\nstart=2048, type=83\n")


def fat32_partition(path: Path, label: str, files: dict[str, bytes]) -> None:
    """An MBR with one 512 MiB FAT32 partition at 1 MiB labelled `label`."""
    run("sfdisk", "-q", str(path), stdin="label: dos\nstart=2048, size=1048576, type=c\n")
    run("mkfs.fat", "-F", "32", "-n", label, "--offset", "2048", str(path), str(512 * 1024))
    copy_files(f"{path}@@{MiB}", files, path.parent)


def fat32_whole_disk(path: Path) -> None:
    """FAT32 on the whole disk, no partition table (a "superfloppy")."""
    run("mkfs.fat", "-F", "32", "-I", "-n", "WHOLEDISK", str(path))
    copy_files(str(path), {"OLD.TXT": b"whole disk\n"}, path.parent)


def gpt_data_and_efi(path: Path) -> None:
    """A GPT with a 256 MiB ext4 data partition and a 256 MiB FAT32 EFI
    system partition after it, each holding a file."""
    run("sfdisk", "-q", str(path), stdin="label: gpt\n"
        "start=2048, size=524288, type=L, name=data\n"
        "start=526336, size=524288, type=U, name=efi\n")
    scratch = path.with_name(path.name + ".data")
    scratch.mkdir(exist_ok=True)
    (scratch / "notes.txt").write_text("data partition\n")
    run("mke2fs", "-q", "-F", "-t", "ext4", "-L", "OLDDATA", "-d", str(scratch),
        "-E", f"offset={2048 * SECTOR}", str(path), f"{524288 // 2}k")
    shutil.rmtree(scratch)
    run("mkfs.fat", "-F", "32", "-s", "1", "-n", "OLDEFI", "--offset", "526336", str(path),
        str(524288 // 2))
    copy_files(f"{path}@@{526336 * SECTOR}", {"EFI.TXT": b"efi partition\n"}, path.parent)


def hybrid_iso(path: Path) -> None:
    """An installer image written with dd: ISO 9660 from sector 0, an MBR
    whose partition 1 starts at sector 0 and covers the image, a GPT
    (headers at LBA 1 and at the image's last LBA), and the El Torito EFI
    image, a FAT image, appended as partition 2 of both tables."""
    scratch = path.with_name(path.name + ".iso")
    tree = scratch / "tree"
    (tree / "live").mkdir(parents=True, exist_ok=True)
    (tree / "README.TXT").write_text("an installer\n")
    (tree / "live" / "filesystem.squashfs").write_bytes(bytes(range(256)) * 4096)
    efi = scratch / "efi.img"
    efi.unlink(missing_ok=True)
    run("mkfs.fat", "-C", "-n", "EFIBOOT", str(efi), "4096")
    run("mmd", "-i", str(efi), "::/EFI", "::/EFI/BOOT")
    copy_files(str(efi), {"EFI/BOOT/BOOTX64.EFI": b"MZ an installer's loader\n"}, scratch)
    iso = scratch / "installer.iso"
    run("xorriso", "-as", "mkisofs", "-r", "-J", "-V", "SNINSTALL", "-o", str(iso),
        "-e", "--interval:appended_partition_2:all::", "-no-emul-boot",
        "-part_like_isohybrid", "-isohybrid-gpt-basdat",
        "-append_partition", "2", "0xef", str(efi), str(tree))
    with open(iso, "rb") as source, open(path, "r+b") as stick:
        stick.write(source.read())
    shutil.rmtree(scratch)


def header_at(path: Path, lba: int) -> bytes:
    """The 8 bytes at the start of sector `lba` of the image."""
    with open(path, "rb") as f:
        f.seek(lba * SECTOR)
        return f.read(8)


# Volumes closed before the run: their signatures, written as mdadm,
# pvcreate and cryptsetup write them, into partition 1 of an MBR at 1 MiB.

def _write_at(path: Path, offset: int, data: bytes) -> None:
    with open(path, "r+b") as stick:
        stick.seek(offset)
        stick.write(data)


def md_member(path: Path) -> None:
    """Partition 1 was a member of a stopped md RAID1 array (superblock
    1.2, 4 KiB into the partition, its checksum right)."""
    linux_partition(path)
    sb = bytearray(256 + 2 * 2)
    struct.pack_into("<IIII", sb, 0, 0xA92B4EFC, 1, 0, 0)
    sb[16:32] = bytes(range(16, 32))  # set uuid
    sb[32:38] = b"snold\0"
    struct.pack_into("<QIIQII", sb, 64, 0, 1, 0, 1 << 20, 0, 2)
    struct.pack_into("<QQQ", sb, 128, 2048, 1 << 20, 8)  # data offset, data size, superblock offset
    sb[168:184] = bytes(range(0x40, 0x50))  # device uuid
    struct.pack_into("<QQQ", sb, 192, 0, 1, 0xFFFFFFFFFFFFFFFF)  # events 1, array clean
    struct.pack_into("<II", sb, 216, 0, 2)  # checksum (below), two device roles
    struct.pack_into("<HH", sb, 256, 0, 0xFFFF)
    total = sum(struct.unpack_from(f"<{len(sb) // 4}I", sb))
    struct.pack_into("<I", sb, 216, ((total & 0xFFFFFFFF) + (total >> 32)) & 0xFFFFFFFF)
    _write_at(path, MiB + 4096, bytes(sb))


def _lvm_crc(data: bytes) -> int:
    crc = 0xF597A6CF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0xEDB88320 if crc & 1 else 0)
    return crc


def lvm_member(path: Path) -> None:
    """Partition 1 was an LVM physical volume of a deactivated group (its
    label in sector 1, the label's checksum right)."""
    linux_partition(path)
    label = bytearray(SECTOR)
    label[0:8] = b"LABELONE"
    struct.pack_into("<QII", label, 8, 1, 0, 32)
    label[24:32] = b"LVM2 001"
    label[32:64] = b"snOLDpv0snOLDpv1snOLDpv2snOLDpv3"
    # the device size, one data area from 1 MiB, one metadata area from 4 KiB
    struct.pack_into("<QQQQQQQQQ", label, 64, 2047 * MiB, MiB, 0, 0, 0, 4096, MiB - 4096, 0, 0)
    struct.pack_into("<I", label, 16, _lvm_crc(bytes(label[20:])))
    _write_at(path, MiB + SECTOR, bytes(label))


def luks_closed(path: Path) -> None:
    """Partition 1 holds a closed LUKS1 volume (its header at the start)."""
    linux_partition(path)
    header = bytearray(592)
    header[0:6] = b"LUKS\xba\xbe"
    struct.pack_into(">H", header, 6, 1)
    header[8:11] = b"aes"
    header[40:51] = b"xts-plain64"
    header[72:78] = b"sha256"
    struct.pack_into(">II", header, 104, 4096, 64)
    struct.pack_into(">I", header, 164, 1000)
    header[168:204] = b"0f3a9c11-5e4d-4c2b-9a61-3b7f2d8e6a10"
    _write_at(path, MiB, bytes(header))


# Where each closed volume's signature stands in partition 1.
CLOSED_SIGNATURES = {
    md_member: (4096, b"\xfc\x4e\x2b\xa9"),
    lvm_member: (SECTOR, b"LABELONE"),
    luks_closed: (0, b"LUKS\xba\xbe"),
}


def signature_left(path: Path, build) -> bool:
    """Whether the signature `build` wrote is still in partition 1."""
    offset, magic = CLOSED_SIGNATURES[build]
    with open(path, "rb") as stick:
        stick.seek(MiB + offset)
        return stick.read(len(magic)) == magic
