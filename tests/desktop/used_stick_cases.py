"""Used sticks whose volume the user closed before the run: an md member
whose array was stopped, an LVM physical volume whose group was
deactivated, a closed LUKS partition. Each must end DONE at the first run,
although udev's md and LVM rules act on an old signature the moment a new
partition shows it. And a stick that a loop device reads (a virtual
machine's raw disk, `losetup` on the partition): not offered, the reason
named, the stick unchanged. Hooked into desktop_cases.ON_ONE_GUEST."""

from dataclasses import dataclass

import desktop_cases as dc
import old_sticks
import cases as system_cases

MD_MAGIC = b"\xfc\x4e\x2b\xa9"


@dataclass
class UsedStick:
    what: str
    stick: str
    setup: str  # run by root in the guest; $part is partition 1
    magics: tuple[tuple[int, bytes], ...]  # (offset in partition 1, bytes) on the host after setup
    teardown: str  # run whatever happened, before the next row
    refusal: str = ""  # the reason the stick is left out; empty: it must end DONE
    # prints what took up the old volume during the run (the journal after
    # $cursor); empty: nothing did
    taken_up: str = ""


USED_STICKS = [
    UsedStick("an old md member, the array stopped", "oldmd",
              "mdadm --create /dev/md/snold --run -q --level=1 --raid-devices=2 --metadata=1.2 $part missing; "
              "udevadm settle; mdadm --stop /dev/md/snold; udevadm settle; "
              # an array udev's rules put together again after the stop goes too
              "for md in $(ls /sys/class/block/${part#/dev/}/holders); do mdadm --stop /dev/$md; done",
              ((4096, MD_MAGIC),), "mdadm --stop /dev/md/snold",
              taken_up="journalctl -k -q --after-cursor=\"$cursor\" | grep -E 'md/raid1|md12[0-9]' || true; "
                       "ls -d /sys/block/md* 2>/dev/null || true"),
    UsedStick("an old LVM physical volume, the group deactivated", "oldlvm",
              "pvcreate -q $part; vgcreate -q snold $part; lvcreate -q -y -n data -L 64M snold; "
              "udevadm settle; vgchange -q -an snold; rm -f /run/lvm/pvs_online/* /run/lvm/vgs_online/*",
              ((dc.SECTOR + 24, b"LVM2 001"),), "vgchange -q -an snold",
              # LVM's autoactivation marks a physical volume it saw online
              taken_up="find /run/lvm/pvs_online /run/lvm/vgs_online -type f 2>/dev/null || true"),
    UsedStick("a closed LUKS partition", "oldluks",
              "printf sarnovelle | cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 "
              "--pbkdf-force-iterations 1000 $part -",
              ((0, b"LUKS\xba\xbe"), (0x4000, b"SKUL\xba\xbe")), "true"),
    UsedStick("a loop device on the partition", "loopdev",
              "losetup -f $part; udevadm settle",
              (), "losetup -j $part -O NAME -n | xargs -r -n1 losetup -d",
              refusal="in use by the loop device "),
]


def magics_at(stick, magics) -> list[bool]:
    with open(stick.path, "rb") as image:
        found = []
        for offset, magic in magics:
            image.seek(2048 * dc.SECTOR + offset)
            found.append(image.read(len(magic)) == magic)
        return found


def left_out(guest, stick, row: UsedStick, part: str) -> str:
    """--list leaves the stick out naming the loop device, partitionDisk
    refuses it without asking udisks2, and its partition table stays."""
    loop = guest.root.run(["losetup", "-j", part, "-O", "NAME", "-n"]).stdout.split()[0].removeprefix("/dev/")
    reason = f"{row.refusal}{loop}"
    table = system_cases.partition_table(stick.path)
    before = dc.digest_of(stick.path)
    count = dc.PolkitCount(guest)
    status, output, _ = system_cases.command_line(guest, "--list")
    if status != 0 or f"Left out {stick.device}: {reason}" not in output \
            or any(line.startswith(f"{stick.device}: ") for line in output):
        raise AssertionError(f"--list (status {status}) did not leave out {stick.device} as {reason}:\n"
                             + "\n".join(output))
    refused, seconds = dc.partition_disk(guest, stick.device)
    if refused.returncode != 1 or f"is {reason}" not in refused.stderr:
        raise AssertionError(f"partitionDisk was not refused (status {refused.returncode}): "
                             f"{refused.stdout}{refused.stderr}")
    if any(check["action"] == dc.MODIFY for check in count.checks()):
        raise AssertionError(f"udisks2 was asked to change the stick: {count.checks()}")
    system_cases.check_equal(system_cases.partition_table(stick.path), table, "the partitions")
    system_cases.check_equal(dc.digest_of(stick.path), before, "the stick's bytes")
    return dc.note(refused.stderr.strip().splitlines()[-1], seconds, count)


def used_sticks_closed(context: dc.Context, guest) -> str:
    """Each used stick, its volume closed before the run: DONE at the first
    run, checked on the host; the one a loop device reads is left out."""
    notes = []
    for row in USED_STICKS:
        stick = context.stick(row.stick, old_sticks.linux_partition)
        guest.plug(stick)
        part = f"/dev/{stick.device}1"
        try:
            guest.root.run(["sh", "-ec", f"part={part}; {row.setup}; sync"], timeout=300)
            if not all(magics_at(stick, row.magics)):
                raise AssertionError(f"{row.what}: the old signature is not on the stick before the run")
            if row.refusal:
                notes.append(f"{row.what}: {left_out(guest, stick, row, part)}")
                continue
            cursor = guest.root.run(["sh", "-c", "journalctl -q -n 0 --show-cursor | sed -n 's/^-- cursor: //p'"]
                                    ).stdout.strip()
            notes.append(f"{row.what}: {dc.prepare(context, guest, stick)}")
            taken = guest.root.run(["sh", "-c", f"cursor='{cursor}'; {row.taken_up or 'true'}"],
                                   check=False).stdout.strip()
            if taken:
                raise AssertionError(f"the old volume was taken up during the run: {taken}")
            if any(magics_at(stick, row.magics)):
                raise AssertionError(f"{row.what}: an old signature is left in the new partition")
        except AssertionError as error:
            raise AssertionError(f"{row.what}: {error}") from error
        finally:  # the next row finds the guest as it was
            guest.root.run(["sh", "-c", f"part={part}; {row.teardown}"], check=False)
            if stick.device in guest.blocks():
                guest.pull(stick)
    return " | ".join(notes)


CASES = {"used_sticks_closed": used_sticks_closed}
