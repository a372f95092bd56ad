"""Host-side reading of a stick image: its partition table, its FAT32
volume and where a file's bytes lie, independent of the guest's tools."""

import json
import os
import struct
import subprocess
from dataclasses import dataclass
from pathlib import Path

SECTOR = 512


def partition_table(image: Path) -> dict:
    """sfdisk's JSON description of the image's partition table."""
    result = subprocess.run(["sfdisk", "-J", str(image)], capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(f"sfdisk -J {image.name}: {result.stderr.strip()}")
    return json.loads(result.stdout)["partitiontable"]


@dataclass
class Entry:
    name: str
    attributes: int
    cluster: int
    size: int


class Fat32:
    """A FAT32 volume inside an image file, starting at byte `offset`."""

    def __init__(self, image: Path, offset: int):
        self.image = image
        self.offset = offset
        boot = self._read(0, SECTOR)
        (self.bytes_per_sector, self.sectors_per_cluster, self.reserved, self.fats,
         root_entries, total16, _, fat_size16) = struct.unpack_from("<HBHBHHBH", boot, 11)
        (self.total_sectors, self.fat_size, _, _, self.root_cluster) = struct.unpack_from(
            "<IIHHI", boot, 32)
        if boot[510:512] != b"\x55\xaa" or fat_size16 != 0 or root_entries != 0:
            raise AssertionError("the partition does not hold a FAT32 boot sector")
        self.type_text = boot[82:90].decode("ascii", "replace")
        self.label = boot[71:82].decode("ascii", "replace").rstrip()
        self.cluster_bytes = self.bytes_per_sector * self.sectors_per_cluster
        self.data_start = (self.reserved + self.fats * self.fat_size) * self.bytes_per_sector

    def _read(self, position: int, size: int) -> bytes:
        with open(self.image, "rb") as f:
            f.seek(self.offset + position)
            return f.read(size)

    def chain(self, cluster: int) -> list[int]:
        fat_start = self.reserved * self.bytes_per_sector
        clusters = []
        while 2 <= cluster < 0x0FFFFFF8:
            if cluster in clusters:
                raise AssertionError("the FAT holds a loop")
            clusters.append(cluster)
            (cluster,) = struct.unpack("<I", self._read(fat_start + 4 * cluster, 4))
            cluster &= 0x0FFFFFFF
        return clusters

    def cluster_position(self, cluster: int) -> int:
        """Byte position of a cluster inside the volume."""
        return self.data_start + (cluster - 2) * self.cluster_bytes

    def directory(self, cluster: int) -> list[Entry]:
        data = b"".join(self._read(self.cluster_position(c), self.cluster_bytes)
                        for c in self.chain(cluster))
        entries = []
        for i in range(0, len(data), 32):
            raw = data[i:i + 32]
            if raw[0] == 0:
                break
            attributes = raw[11]
            if raw[0] == 0xE5 or attributes == 0x0F:  # deleted, long-name part
                continue
            base = raw[0:8].decode("ascii", "replace").rstrip()
            extension = raw[8:11].decode("ascii", "replace").rstrip()
            (high,) = struct.unpack_from("<H", raw, 20)
            low, size = struct.unpack_from("<HI", raw, 26)
            name = base + ("." + extension if extension else "")
            entries.append(Entry(name, attributes, (high << 16) | low, size))
        return entries

    def volume_label_entry(self) -> str:
        for entry in self.directory(self.root_cluster):
            if entry.attributes & 0x08:
                return entry.name.replace(".", "")
        return ""

    def find(self, path: str) -> Entry:
        cluster = self.root_cluster
        entry = None
        for part in path.strip("/").split("/"):
            matches = [e for e in self.directory(cluster)
                       if e.name.upper() == part.upper() and not e.attributes & 0x08]
            if not matches:
                raise AssertionError(f"{path} is not on the volume ({part} missing)")
            entry = matches[0]
            cluster = entry.cluster
        return entry

    def file_extents(self, path: str) -> list[tuple[int, int]]:
        """(byte position in the image file, length) of each piece of the file."""
        entry = self.find(path)
        extents = []
        remaining = entry.size
        for cluster in self.chain(entry.cluster):
            length = min(remaining, self.cluster_bytes)
            if length <= 0:
                break
            extents.append((self.offset + self.cluster_position(cluster), length))
            remaining -= length
        if remaining > 0:
            raise AssertionError(f"{path}: its cluster chain is shorter than its size")
        return extents

    def read_file(self, path: str) -> bytes:
        with open(self.image, "rb") as f:
            pieces = []
            for position, length in self.file_extents(path):
                f.seek(position)
                pieces.append(f.read(length))
        return b"".join(pieces)


def extract(image: Path, offset: int, size: int, target: Path) -> Path:
    """Copies a byte range of the image into its own sparse file, visiting
    only the parts of the image that hold data."""
    end = offset + size
    with open(image, "rb") as source, open(target, "wb") as out:
        fd = source.fileno()
        position = offset
        while position < end:
            try:
                data = os.lseek(fd, position, os.SEEK_DATA)
            except OSError:  # no data after position
                break
            if data >= end:
                break
            hole = min(os.lseek(fd, data, os.SEEK_HOLE), end)
            source.seek(data)
            out.seek(data - offset)
            while data < hole:
                block = source.read(min(hole - data, 1 << 20))
                out.write(block)
                data += len(block)
            position = hole
        out.truncate(size)
    return target
