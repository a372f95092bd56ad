"""Sticks as users bring them: one builder per state of an old stick, each
writing into a fresh (all zero) stick image on the host with the host's
tools, so that both guest tiers start from the same bytes."""

import shutil
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
