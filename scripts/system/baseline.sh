#!/bin/sh
# The job of a preparation run done by hand with the standard tools, as a
# fair yardstick for its speed. Runs inside the system tier's guest:
#   baseline.sh <disk node> <image file> <expected SHA-256, lower case>
# Prints "PHASE <name>" as each phase starts and "END" when all went well;
# the caller takes the times. Phases match those of a run: partition (table,
# re-read, file system, mount), copy, verify (remount, uncached read and
# digest, compare), eject.
set -eu
disk=$1
image=$2
expected=$3
part=${disk}1
folder=/media/baseline
# The mount options the disk utility gives a FAT volume, so that both write
# through the same file system behaviour.
options=uid=0,gid=0,shortname=mixed,utf8,showexec,flush

echo PHASE partition
printf 'label: dos\nstart=2048, size=2097152, type=c\n' | sfdisk -q "$disk"
blockdev --rereadpt "$disk"
while [ ! -b "$part" ]; do usleep 10000; done
mkfs.fat -F 32 -n SARNOVELLE "$part" >/dev/null
mkdir -p "$folder"
mount -t vfat -o "$options" "$part" "$folder"

echo PHASE copy
mkdir -p "$folder/EFI/BOOT"
cp "$image" "$folder/EFI/BOOT/BOOTX64.EFI"
sync

echo PHASE verify
umount "$folder"
mount -t vfat -o "$options" "$part" "$folder"
actual=$(dd if="$folder/EFI/BOOT/BOOTX64.EFI" iflag=direct bs=1M status=none | sha256sum)
actual=${actual%% *}
if [ "$actual" != "$expected" ]; then
    echo "read back $actual, expected $expected"
    exit 1
fi

echo PHASE eject
umount "$folder"
blockdev --flushbufs "$disk"
echo 1 >"/sys/block/${disk#/dev/}/device/delete"
echo END
