"""The cases of the desktop tier. Each plugs its own sticks into a guest
with the build under test installed, has the user's headless driver run the
real listing and preparation, counts polkit's checks and prompts from the
guest's journal, and checks the stick image on the host.

The cases in ON_ONE_GUEST take a booted guest and leave it fit for the next
one, in that order: a case that builds volumes on its stick takes them down
before the stick is pulled, the site policy changes polkit's rules and the
last case stops udisks2. The system cases boot their own guest from a stick.
Each case's line names its outcome, polkit's checks and prompts and the
run's time."""

import hashlib
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from desktop_guest import DesktopGuest, GuestError, Stick, by_id, make_payload  # puts tests/system on the path

import cases as system_cases  # noqa: E402  the system tier's run protocol and stick checks
import old_sticks  # noqa: E402  the stick states both tiers start from
from access_cases import window_by_accessibility  # noqa: E402,F401  the window through AT-SPI

GiB = 1 << 30
MiB = 1 << 20
SECTOR = 512
USER_MEDIA = "/media/tester"
DONE = system_cases.DONE
MODIFY = "org.freedesktop.udisks2.modify-device"
ADMIN_PASSWORD = "sarnovelle"  # root's, set when the image is built

ON_ONE_GUEST = ["list_follows_sticks", "fresh_stick", "automounted_stick", "hybrid_iso_stick", "gpt_two_partitions",
                "whole_disk_fat", "luks_stick", "lvm_stick", "busy_stick", "site_policy",
                "udisks_stopped"]
# The window driven through the accessibility bus, while udisks2 runs.
ON_ONE_GUEST.insert(ON_ONE_GUEST.index("fresh_stick") + 1, "window_by_accessibility")
OWN_BOOT = ["system_on_stick", "system_on_lvm_stick", "read_only_root_reported"]
ALL = ON_ONE_GUEST + OWN_BOOT


@dataclass
class Context:
    rootfs: Path
    work: Path
    payload: Path
    image: bytes
    digest: str

    def guest(self, **options) -> DesktopGuest:
        """A booted guest; `options` go to DesktopGuest."""
        payload = make_payload(self.payload, self.work / "payload.img")
        return DesktopGuest(self.rootfs, payload, self.work, **options)

    def stick(self, name: str, build: Callable[[Path], None] | None = None,
              size: int = 2 * GiB) -> Stick:
        """A stick in the state that `build` gives its image (all zero without)."""
        stick = Stick(name, self.work / f"{name}.img", size, f"SARN-{name.upper()}-0042").create()
        if build:
            build(stick.path)
        return stick


def digest_of(path: Path) -> str:
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(8 * MiB):
            sha.update(block)
    return sha.hexdigest()


# What the guest reports.

def listed_id(guest: DesktopGuest, stick: Stick) -> str:
    rows = system_cases.listed(guest)
    ids = [row[0] for row in rows if row[3] == stick.serial]
    if len(ids) != 1:
        raise AssertionError(f"the stick {stick.serial} is not listed once: {rows}")
    return ids[0]


def mount_point(guest: DesktopGuest, partition: str) -> str:
    return guest.root.run(["findmnt", "-rn", "-S", f"/dev/{partition}", "-o", "TARGET"],
                          check=False).stdout.strip()


def wait_for(condition, what: str, timeout: float = 60):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not happen within {timeout:.0f} s")
        time.sleep(0.5)


class PolkitCount:
    """The checks and prompts polkit saw from the moment of creation."""

    def __init__(self, guest: DesktopGuest):
        self.guest = guest
        self.checks_before = len(guest.polkit_check_lines())
        self.prompts_before = len(guest.prompts())

    def checks(self) -> list[dict[str, str]]:
        result = []
        for line in self.guest.polkit_check_lines()[self.checks_before:]:
            fields = line.split("sarnovelle-check ", 1)[1].split()
            result.append(dict(field.split("=", 1) for field in fields))
        return result

    def prompts(self) -> list[str]:
        return self.guest.prompts()[self.prompts_before:]

    def summary(self) -> str:
        actions = [c["action"].rsplit(".", 1)[-1] for c in self.checks()]
        counted = {a: actions.count(a) for a in dict.fromkeys(actions)}
        return f"polkit checks {counted}, prompts {len(self.prompts())}"


def check_asked_as_session_user(count: PolkitCount) -> None:
    """udisks asked polkit on behalf of the user in her active local
    session, and never for a system device's action."""
    checks = count.checks()
    actions = {c["action"] for c in checks}
    if MODIFY not in actions:
        raise AssertionError(f"polkit never checked {MODIFY}: {checks}")
    for check in checks:
        if check["user"] != "tester" or check["local"] != "true" or check["active"] != "true":
            raise AssertionError(f"a check outside the user's active local session: {check}")
        if check["action"].endswith("-system"):
            raise AssertionError(f"udisks treated the stick as a system device: {check}")


def failure_text(run: system_cases.Run) -> str:
    return "\n".join(run.log + [run.outcome])


def partition_disk(guest: DesktopGuest, device: str) -> tuple[subprocess.CompletedProcess, float]:
    """The disk utility's partitionDisk on the whole disk, run by the user
    as the application runs it; its result and seconds."""
    started = time.monotonic()
    result = guest.user.run(
        ["/usr/libexec/sarnovelle-usb-maker/diskutil", "partitionDisk", f"/dev/{device}",
         "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"],
        check=False, timeout=180)
    return result, time.monotonic() - started


def note(outcome: str, seconds: float, count: PolkitCount) -> str:
    """A case's line: outcome, the run's time, polkit's checks and prompts."""
    return f"{outcome}; run {seconds:.1f} s; {count.summary()}"


def prepare(context: Context, guest: DesktopGuest, stick: Stick) -> str:
    """Lists and prepares the plugged stick as the user; checks DONE with no
    password asked, the eject and the stick on the host. Returns the note."""
    disk = listed_id(guest, stick)
    count = PolkitCount(guest)
    run = system_cases.make(guest, disk, timeout=300)
    if run.outcome != DONE:
        raise AssertionError(f"the run did not end DONE ({count.summary()}):\n" + failure_text(run))
    wait_for(lambda: stick.device not in guest.blocks(), f"the eject of {stick.device}", 30)
    check_asked_as_session_user(count)
    if count.prompts():
        raise AssertionError(f"the user was asked for a password: {count.prompts()}")
    system_cases.check_prepared_stick(context, stick)
    return note("DONE", run.seconds, count)


# The cases.

def list_follows_sticks(context: Context, guest: DesktopGuest) -> str:
    """With the window open and idle in the user's session, sticks show up
    and go without Refresh: one plugged in appears, a second keeps the
    first selected, a pulled one disappears."""
    out = "/tmp/sarnovelle-window-watch.txt"
    pid = guest.user.start(["/usr/bin/sarnovelle-window-watch", "/usr/share/sarnovelle-usb-maker",
                            "/usr/libexec/sarnovelle-usb-maker/diskutil", out])

    def state() -> tuple[set[str], str] | None:
        lines = guest.user.run(["cat", out], check=False).stdout.splitlines()
        if not lines:
            return None
        _, ids, selected = lines[-1].split("\t")
        return set(filter(None, ids.split(","))), selected

    def shows(ids: set[str], selected: str, what: str) -> float:
        start = time.monotonic()
        wait_for(lambda: state() == (ids, selected), what, timeout=30)
        return time.monotonic() - start

    try:
        wait_for(lambda: state() == (set(), "-"), "the window's first, empty listing")
        first, second = context.stick("follow1"), context.stick("follow2")
        a = guest.plug(first)
        appeared = shows({a}, a, f"{a} appearing")
        b = guest.plug(second)
        shows({a, b}, a, f"{b} appearing beside the selected {a}")
        guest.pull(first)
        gone = shows({b}, b, f"{a} disappearing")
        guest.pull(second)
        shows(set(), "-", f"{b} disappearing")
    finally:
        guest.user.run(["kill", str(pid)], check=False)
    return f"appeared {appeared:.1f} s, gone {gone:.1f} s after the kernel (including the host's polling)"


def fresh_stick(context: Context, guest: DesktopGuest) -> str:
    """A stick with an old GPT, prepared by the user with no password."""
    stick = context.stick("fresh", old_sticks.old_gpt)
    guest.plug(stick)
    return prepare(context, guest, stick)


def automounted_case(stick_name: str, build: Callable[[Path], None], state: str,
                     mounted: tuple[str, ...], opened: tuple[str, ...] = ()
                     ) -> Callable[[Context, DesktopGuest], str]:
    """The case of a used stick whose volumes are mounted before the run:
    `mounted` by the automounter, `opened` by the user in her file manager
    (udisks2 hides an EFI system partition from automounters). Each names
    partitions by number, "" for the whole disk."""
    def case(context: Context, guest: DesktopGuest) -> str:
        stick = context.stick(stick_name, build)
        guest.plug(stick)
        points = [wait_for(lambda: mount_point(guest, stick.device + number),
                           f"udiskie's mount of {stick.device}{number}", 300)
                  for number in mounted]
        for number in opened:
            guest.user.run(["udisksctl", "mount", "--no-user-interaction",
                            "-b", f"/dev/{stick.device}{number}"])
            points.append(mount_point(guest, stick.device + number))
        if not all(point.startswith(USER_MEDIA + "/") for point in points):
            raise AssertionError(f"the old volumes are mounted at {points}, not all by the user")
        return prepare(context, guest, stick) + f"; old volumes at {', '.join(points)}"
    case.__doc__ = f"{state}, mounted by the user: prepared by her with no password."
    return case


automounted_stick = automounted_case(
    "mounted", lambda path: old_sticks.fat32_partition(path, "OLDSTICK", {"OLD.TXT": b"old\n"}),
    "A FAT32 partition", ("1",))
hybrid_iso_stick = automounted_case("hybrid", old_sticks.hybrid_iso, "An installer image", ("1",))
gpt_two_partitions = automounted_case("twoparts", old_sticks.gpt_data_and_efi,
                                      "A GPT with ext4 and EFI partitions", ("1",), ("2",))
whole_disk_fat = automounted_case("whole", old_sticks.fat32_whole_disk,
                                  "FAT32 on the whole disk", ("",))


@dataclass
class InUse:
    """A stick in use through a volume that root built on its partition 1
    (shell variable $part) and mounted at $mnt, a file kept.txt on it."""
    stick: str
    volume: str  # as the refusal names it
    mapper: str  # /dev/mapper/<mapper>
    setup: str
    check: str  # fails unless the volume's own metadata is whole
    magics: tuple[tuple[int, bytes], ...]  # (offset in partition 1, bytes) on the host
    teardown: str


def check_refused(guest: DesktopGuest, stick: Stick, use: InUse, part: str) -> str:
    """--list leaves the stick out naming the volume and where it is
    mounted, partitionDisk refuses it without asking udisks2, and the
    partitions, the volume's metadata and its file stay. The case's note."""
    points = guest.root.run(["findmnt", "-rn", "-o", "TARGET", "-S",
                             f"/dev/mapper/{use.mapper}"]).stdout.split()
    table = system_cases.partition_table(stick.path)
    count = PolkitCount(guest)
    status, output, _ = system_cases.command_line(guest, "--list")
    wanted = f"Left out {stick.device}: in use by the {use.volume}, mounted at "
    named = [line[len(wanted):] for line in output if line.startswith(wanted)]
    if status != 0 or len(named) != 1 or named[0] not in points \
            or any(line.startswith(f"{stick.device}: ") for line in output):
        raise AssertionError(f"--list (status {status}) did not leave out {stick.device} as in "
                             f"use by the {use.volume} at {points}:\n" + "\n".join(output))
    refused, seconds = partition_disk(guest, stick.device)
    if refused.returncode != 1 or f"is in use by the {use.volume}" not in refused.stderr:
        raise AssertionError(f"partitionDisk was not refused (status {refused.returncode}): "
                             f"{refused.stdout}{refused.stderr}")
    if any(check["action"] == MODIFY for check in count.checks()):
        raise AssertionError(f"udisks2 was asked to change the stick: {count.checks()}")
    system_cases.check_equal(system_cases.partition_table(stick.path), table, "the partitions")
    with open(stick.path, "rb") as image:
        for offset, magic in use.magics:
            image.seek(2048 * SECTOR + offset)
            system_cases.check_equal(image.read(len(magic)), magic, f"the bytes at {offset:#x}")
    kept = guest.root.run(["sh", "-ec", f"part={part}; {use.check}; cat {points[0]}/kept.txt"])
    system_cases.check_equal(kept.stdout, "kept\n", "the file on the volume")
    return note(refused.stderr.strip().splitlines()[-1], seconds, count)


def in_use_case(use: InUse) -> Callable[[Context, DesktopGuest], str]:
    def case(context: Context, guest: DesktopGuest) -> str:
        stick = context.stick(use.stick, old_sticks.linux_partition)
        guest.plug(stick)
        part = f"/dev/{stick.device}1"
        try:
            guest.root.run(["sh", "-ec", f"part={part}; mnt={USER_MEDIA}/Kept; {use.setup}; "
                            f"mkdir -p $mnt; mount /dev/mapper/{use.mapper} $mnt; "
                            "echo kept >$mnt/kept.txt; sync"], timeout=300)
            return check_refused(guest, stick, use, part)
        finally:  # the next case finds the guest as it was
            guest.root.run(["sh", "-c", f"umount -A /dev/mapper/{use.mapper}; {use.teardown}"],
                           check=False)
            guest.pull(stick)
    case.__doc__ = (f"A stick in use by a mounted {use.volume.split()[0]} volume is not "
                    "offered and partitionDisk refuses it; the volume stays whole.")
    return case


luks_stick = in_use_case(InUse(
    "luks", "LUKS volume sncrypt", "sncrypt",
    setup="printf sarnovelle | cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 "
          "--pbkdf-force-iterations 1000 $part -; "
          "printf sarnovelle | cryptsetup open --key-file - $part sncrypt; "
          "mkfs.ext4 -q /dev/mapper/sncrypt",
    check="cryptsetup luksDump $part >/dev/null",
    magics=((0, b"LUKS\xba\xbe"), (0x4000, b"SKUL\xba\xbe")),
    teardown="cryptsetup close sncrypt"))
lvm_stick = in_use_case(InUse(
    "lvm", "LVM volume snuse-data", "snuse-data",
    setup="pvcreate -q $part; vgcreate -q snuse $part; "
          "lvcreate -q -y -n data -L 256M snuse; mkfs.ext4 -q /dev/snuse/data",
    check="vgs snuse >/dev/null; lvs snuse/data >/dev/null",
    magics=((SECTOR + 24, b"LVM2 001"),),
    teardown="vgchange -q -an snuse"))


def udisks_stopped(context: Context, guest: DesktopGuest) -> str:
    """Without udisks2 the ordinary user gets the clear line; nothing changes.
    Leaves udisks2 stopped: the last case on a guest."""
    stick = context.stick("nodaemon", old_sticks.old_gpt)
    guest.plug(stick)
    disk = listed_id(guest, stick)
    guest.root.run(["systemctl", "mask", "--runtime", "--now", "udisks2.service"])
    before = digest_of(stick.path)
    count = PolkitCount(guest)
    run = system_cases.make(guest, disk, timeout=120)
    text = failure_text(run)
    if run.outcome == DONE or "udisks2" not in text or "root" not in text:
        raise AssertionError("expected the line that udisks2 or root is needed:\n" + text)
    if digest_of(stick.path) != before:
        raise AssertionError("the stick changed although the run could not start")
    return note(run.outcome, run.seconds, count)


def busy_stick(context: Context, guest: DesktopGuest) -> str:
    """A program holds a file open on the stick: a clear failure that names
    the folder, and the stick stays as it was."""
    stick = context.stick("busy", lambda path: old_sticks.fat32_partition(
        path, "BUSYSTICK", {"HOLD.TXT": b"held\n"}))
    guest.plug(stick)
    mounted = wait_for(lambda: mount_point(guest, stick.device + "1"),
                       "udiskie's mount of the volume", 300)
    holder = guest.user.start(["sh", "-c", f'exec 3<"{mounted}/HOLD.TXT"; exec sleep 900'])
    wait_for(lambda: guest.root.run(["sh", "-c", f"ls -l /proc/{holder}/fd"],
                                    check=False).stdout.count(mounted),
             "the holder's open file", 20)
    before = digest_of(stick.path)
    count = PolkitCount(guest)
    run = system_cases.make(guest, listed_id(guest, stick), timeout=180)
    text = failure_text(run)
    if run.outcome == DONE or mounted not in text:
        raise AssertionError(f"expected a failure naming {mounted}:\n" + text)
    if digest_of(stick.path) != before:
        raise AssertionError("the busy stick was changed")
    if mount_point(guest, stick.device + "1") != mounted:
        raise AssertionError("the busy volume is no longer mounted where it was")
    guest.root.run(["kill", str(holder)], check=False)
    return note(run.outcome, run.seconds, count)


SITE_RULE_PATH = "/etc/polkit-1/rules.d/10-sarnovelle-site.rules"
SITE_RULE = """// Site policy: changing a USB disk needs the administrator, kept a while.
polkit.addRule(function (action, subject) {
    if (action.id == "org.freedesktop.udisks2.modify-device" && subject.user == "tester")
        return polkit.Result.AUTH_ADMIN_KEEP;
});
polkit.addAdminRule(function (action, subject) {
    return ["unix-user:root"];
});
"""


def install_site_rule(guest: DesktopGuest) -> None:
    """Puts the site's rule in place as an administrator would and restarts
    polkitd, so that the rule holds from the next check on (the restart of a
    D-Bus service returns once the new polkitd owns its bus name)."""
    guest.root.run(["sh", "-ec", f"cat >{SITE_RULE_PATH}; systemctl restart polkit.service"],
                   stdin=SITE_RULE)


def site_policy(context: Context, guest: DesktopGuest) -> str:
    """A stricter site policy: the desktop's agent asks once per run.
    Changes polkit's rules for the cases after it."""
    install_site_rule(guest)
    guest.user.start(["sh", "-c", "exec python3 /usr/local/lib/sarnovelle/polkit-agent.py "
                      f"{ADMIN_PASSWORD} >$HOME/polkit-agent.log 2>&1"])
    wait_for(lambda: "agent registered" in guest.user.run(
        ["cat", "/home/tester/polkit-agent.log"], check=False).stdout,
        "the polkit agent's registration", 30)
    stick = context.stick("site", old_sticks.old_gpt)
    guest.plug(stick)
    disk = listed_id(guest, stick)
    count = PolkitCount(guest)
    run = system_cases.make(guest, disk, timeout=300)
    if run.outcome != DONE:
        raise AssertionError(f"the run did not end DONE ({count.summary()}):\n"
                             + failure_text(run))
    prompts = count.prompts()
    if prompts != [MODIFY]:
        raise AssertionError(f"expected one prompt for {MODIFY}, got {prompts}")
    wait_for(lambda: stick.device not in guest.blocks(), f"the eject of {stick.device}", 30)
    system_cases.check_prepared_stick(context, stick)
    return note("DONE", run.seconds, count)


def check_system_stick_refused(context: Context, guest: DesktopGuest, system: Stick) -> str:
    """The stick the system runs from is never listed, a second stick is
    listed beside it, and partitionDisk on the system stick is refused by
    name with the stick unchanged."""
    names = dict(line.split() for line in guest.root.run(
        ["lsblk", "-dnr", "-o", "NAME,SERIAL"]).stdout.splitlines() if len(line.split()) == 2)
    (system.device,) = [name for name, serial in names.items() if serial == system.serial]
    if any(row[3] == system.serial for row in system_cases.listed(guest)):
        raise AssertionError(f"the system's stick {system.device} is listed")
    other = context.stick("other", old_sticks.old_gpt)
    guest.plug(other)
    serials = [row[3] for row in system_cases.listed(guest)]
    if serials != [other.serial]:
        raise AssertionError(f"expected only {other.serial} listed, got {serials}")
    # The running system writes to its stick all the time: compare what
    # the stick holds (its signatures and their identities), not its bytes.
    head = ["blkid", "-p", "-o", "export", f"/dev/{system.device}"]
    before = guest.root.run(head).stdout
    refused, _ = partition_disk(guest, system.device)
    said = (refused.stdout + refused.stderr).strip()
    if refused.returncode == 0 or system.device not in said:
        raise AssertionError(f"partitionDisk on the system's stick was not refused by name "
                             f"(status {refused.returncode}): {said}")
    if guest.root.run(head).stdout != before:
        raise AssertionError("the system's stick changed")
    return said.splitlines()[-1]


def system_on_stick(context: Context) -> str:
    """The system booted from a USB stick holding a plain ext4 root."""
    image = context.rootfs / "root.img"
    system = Stick("sysroot", image, image.stat().st_size, "SARN-SYSROOT-0042")
    with context.guest(boot_sticks=(system,)) as guest:
        return check_system_stick_refused(context, guest, system)


def system_on_lvm_stick(context: Context) -> str:
    """The system booted from a USB stick holding LVM with the root as a
    logical volume. A first guest, without a user session (no automounter
    to take the new volume), copies the cached root file system, attached
    read-only beside its own root, onto the stick."""
    system = context.stick("lvmroot", size=4 * GiB)
    image = context.rootfs / "root.img"
    started = time.monotonic()
    with context.guest(extra_drives={"snsource": image}, session=False,
                       name="builder") as builder:
        builder_boot = builder.boot_seconds
        builder.plug(system)
        source = by_id("snsource")
        builder.root.run(["sh", "-ec", f"""
            source=$(readlink -f {source})
            [ "$(blkid -o value -s LABEL $source)" = snroot ] ||
                {{ echo "$source holds no copy of the root file system" >&2; exit 1; }}
            ! findmnt -n $source >/dev/null ||
                {{ echo "$source is mounted: $(findmnt -no TARGET $source)" >&2; exit 1; }}
            pvcreate -q /dev/{system.device}
            vgcreate -q snvg /dev/{system.device}
            lvcreate -q -y -n root -l 100%FREE snvg
            e2image -ra $source /dev/snvg/root
            vgchange -q -an snvg
            sync"""], timeout=1800)
    copied = time.monotonic() - started
    with context.guest(boot_sticks=(system,), root="/dev/mapper/snvg-root") as guest:
        source = guest.root.run(["findmnt", "-no", "SOURCE", "/"]).stdout.strip()
        if source != "/dev/mapper/snvg-root":
            raise AssertionError(f"the guest's root is {source}, not the logical volume")
        return (f"copy {copied:.0f} s (its guest's boot {builder_boot:.0f} s), "
                f"boot {guest.boot_seconds:.0f} s; "
                + check_system_stick_refused(context, guest, system))


def read_only_root_reported(context: Context) -> str:
    """A guest whose root comes up read-only (what a root found by a label
    that a read-only copy shares comes to) never brings the user's session:
    its boot fails as soon as systemd gave up, naming the failed units and
    why, not at the boot's time-out."""
    image = context.rootfs / "root.img"
    started = time.monotonic()
    try:
        with context.guest(extra_drives={"snsource": image}, root=by_id("snsource")):
            raise AssertionError("the guest came up on a read-only root")
    except GuestError as error:
        text = str(error)
    seconds = time.monotonic() - started
    first = text.splitlines()[0]
    if "cannot come" not in first or "systemd-remount-fs.service" not in first:
        raise AssertionError(f"the boot did not fail on the failed units: {text[:3000]}")
    if "write-protected" not in text:
        raise AssertionError(f"the report does not say why: {text[:3000]}")
    return f"failed after {seconds:.0f} s: {first}"


# Sticks checked without changing them (check_cases.py), on the same guest
# before the site policy and udisks2 go.
import check_cases  # noqa: E402

for _name in check_cases.CASES:
    globals()[_name] = getattr(check_cases, _name)
ON_ONE_GUEST[ON_ONE_GUEST.index("site_policy"):ON_ONE_GUEST.index("site_policy")] = check_cases.CASES

# Used sticks whose volume was closed before the run (used_stick_cases.py),
# before the cases that change polkit's rules and stop udisks2.
import used_stick_cases  # noqa: E402
globals().update(used_stick_cases.CASES)
ON_ONE_GUEST[ON_ONE_GUEST.index("busy_stick"):ON_ONE_GUEST.index("busy_stick")] = list(used_stick_cases.CASES)
ALL = ON_ONE_GUEST + OWN_BOOT
