"""The cases of the desktop tier. Each plugs its own sticks into a guest
with the build under test installed, has the user's headless driver run the
real listing and preparation, counts polkit's checks and prompts from the
guest's journal, and checks the stick image on the host.

The cases in ON_ONE_GUEST take a booted guest and leave it fit for the next
one, in that order: the site policy changes polkit's rules and the last case
stops udisks2. The system cases boot their own guest from a stick."""

import hashlib
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

from desktop_guest import DesktopGuest, GuestError, Stick, by_id, make_payload  # puts tests/system on the path

import cases as system_cases  # noqa: E402  the system tier's run protocol and stick checks

GiB = 1 << 30
MiB = 1 << 20
SECTOR = 512
USER_MEDIA = "/media/tester"
BOOT_FILE = system_cases.BOOT_FILE
DONE = system_cases.DONE
MODIFY = "org.freedesktop.udisks2.modify-device"
ADMIN_PASSWORD = "sarnovelle"  # root's, set when the image is built

ON_ONE_GUEST = ["fresh_stick", "automounted_stick", "busy_stick", "site_policy",
                "udisks_stopped"]
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

    def stick(self, name: str, size: int = 2 * GiB) -> Stick:
        return Stick(name, self.work / f"{name}.img", size,
                     f"SARN-{name.upper()}-0042").create()


# Sticks as users bring them.

def with_old_gpt(stick: Stick) -> Stick:
    """A GPT with one partition, both headers present."""
    subprocess.run(["sfdisk", "-q", str(stick.path)], input="label: gpt\n,\n", text=True,
                   check=True, capture_output=True)
    return stick


def with_fat32(stick: Stick, label: str, files: dict[str, bytes]) -> Stick:
    """One 512 MiB FAT32 partition labelled `label`, holding `files`."""
    subprocess.run(["sfdisk", "-q", str(stick.path)], text=True, check=True, capture_output=True,
                   input="label: dos\nstart=2048, size=1048576, type=c\n")
    subprocess.run(["mkfs.fat", "-F", "32", "-n", label, "--offset", "2048", str(stick.path),
                    str(512 * 1024)], check=True, capture_output=True)
    for name, data in files.items():
        source = stick.path.with_name(name)
        source.write_bytes(data)
        subprocess.run(["mcopy", "-i", f"{stick.path}@@{MiB}", str(source), f"::/{name}"],
                       check=True, capture_output=True)
        source.unlink()
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


# Host checks of a prepared stick.

def check_stick(context: Context, stick: Stick) -> None:
    system_cases.check_prepared_stick(context, stick)
    with open(stick.path, "rb") as f:
        f.seek(SECTOR)
        lba1 = f.read(8)
        f.seek(stick.size - SECTOR)
        last = f.read(8)
    if lba1 == b"EFI PART" or last == b"EFI PART":
        raise AssertionError("a GPT header is left on the stick "
                             f"(LBA 1: {lba1 == b'EFI PART'}, last LBA: {last == b'EFI PART'})")
    probe = subprocess.run(["blkid", "-p", "-o", "export", str(stick.path)],
                           capture_output=True, text=True)
    found = dict(line.split("=", 1) for line in probe.stdout.splitlines() if "=" in line)
    found.pop("DEVNAME", None)
    if found.get("PTTYPE") != "dos" or set(found) - {"PTTYPE", "PTUUID"}:
        raise AssertionError(f"blkid -p of the whole stick: {found}")
    copy = context.work / "BOOTX64.from-stick"
    subprocess.run(["mcopy", "-n", "-i", f"{stick.path}@@{MiB}", f"::{BOOT_FILE}", str(copy)],
                   check=True, capture_output=True)
    if copy.read_bytes() != context.image:
        raise AssertionError(f"mcopy of {BOOT_FILE} differs from the boot image")
    copy.unlink()


def prepare(context: Context, guest: DesktopGuest, stick: Stick) -> tuple[system_cases.Run, str]:
    """Lists and prepares the plugged stick as the user; checks DONE, the
    eject and the image. Returns the run and the polkit summary."""
    disk = listed_id(guest, stick)
    count = PolkitCount(guest)
    run = system_cases.make(guest, disk, timeout=300)
    if run.outcome != DONE:
        raise AssertionError(f"the run did not end DONE ({count.summary()}):\n" + failure_text(run))
    wait_for(lambda: stick.device not in guest.blocks(), f"the eject of {stick.device}", 30)
    check_asked_as_session_user(count)
    summary = count.summary()
    if count.prompts():
        raise AssertionError(f"the user was asked for a password: {count.prompts()}")
    check_stick(context, stick)
    return run, summary


# The cases.

def fresh_stick(context: Context, guest: DesktopGuest) -> str:
    """A stick with an old GPT, prepared by the user with no password."""
    stick = with_old_gpt(context.stick("fresh"))
    guest.plug(stick)
    run, summary = prepare(context, guest, stick)
    return f"run {run.seconds:.1f} s, {summary}"


def automounted_stick(context: Context, guest: DesktopGuest) -> str:
    """The automounter mounted the stick's FAT32 volume before the run."""
    stick = with_fat32(context.stick("mounted"), "OLDSTICK", {"OLD.TXT": b"old\n"})
    guest.plug(stick)
    mounted = wait_for(lambda: mount_point(guest, stick.device + "1"),
                       "udiskie's mount of the old volume", 300)
    if not mounted.startswith(USER_MEDIA + "/"):
        raise AssertionError(f"the old volume is mounted at {mounted}, not by udiskie")
    run, summary = prepare(context, guest, stick)
    return f"old volume at {mounted}; run {run.seconds:.1f} s, {summary}"


def udisks_stopped(context: Context, guest: DesktopGuest) -> str:
    """Without udisks2 the ordinary user gets the clear line; nothing changes.
    Leaves udisks2 stopped: the last case on a guest."""
    stick = with_old_gpt(context.stick("nodaemon"))
    guest.plug(stick)
    disk = listed_id(guest, stick)
    guest.root.run(["systemctl", "mask", "--runtime", "--now", "udisks2.service"])
    before = digest_of(stick.path)
    run = system_cases.make(guest, disk, timeout=120)
    text = failure_text(run)
    if run.outcome == DONE or "udisks2" not in text or "root" not in text:
        raise AssertionError("expected the line that udisks2 or root is needed:\n" + text)
    if digest_of(stick.path) != before:
        raise AssertionError("the stick changed although the run could not start")
    return run.outcome


def busy_stick(context: Context, guest: DesktopGuest) -> str:
    """A program holds a file open on the stick: a clear failure that names
    the folder, and the stick stays as it was."""
    stick = with_fat32(context.stick("busy"), "BUSYSTICK", {"HOLD.TXT": b"held\n"})
    guest.plug(stick)
    mounted = wait_for(lambda: mount_point(guest, stick.device + "1"),
                       "udiskie's mount of the volume", 300)
    holder = guest.user.start(["sh", "-c", f'exec 3<"{mounted}/HOLD.TXT"; exec sleep 900'])
    wait_for(lambda: guest.root.run(["sh", "-c", f"ls -l /proc/{holder}/fd"],
                                    check=False).stdout.count(mounted),
             "the holder's open file", 20)
    before = digest_of(stick.path)
    run = system_cases.make(guest, listed_id(guest, stick), timeout=180)
    text = failure_text(run)
    if run.outcome == DONE or mounted not in text:
        raise AssertionError(f"expected a failure naming {mounted}:\n" + text)
    if digest_of(stick.path) != before:
        raise AssertionError("the busy stick was changed")
    if mount_point(guest, stick.device + "1") != mounted:
        raise AssertionError("the busy volume is no longer mounted where it was")
    guest.root.run(["kill", str(holder)], check=False)
    return run.outcome


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
    stick = with_old_gpt(context.stick("site"))
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
    check_stick(context, stick)
    return f"run {run.seconds:.1f} s, {count.summary()}"


def check_system_stick_refused(context: Context, guest: DesktopGuest, system: Stick) -> str:
    """The stick the system runs from is never listed, a second stick is
    listed beside it, and partitionDisk on the system stick is refused by
    name with the stick unchanged."""
    names = dict(line.split() for line in guest.root.run(
        ["lsblk", "-dnr", "-o", "NAME,SERIAL"]).stdout.splitlines() if len(line.split()) == 2)
    (system.device,) = [name for name, serial in names.items() if serial == system.serial]
    if any(row[3] == system.serial for row in system_cases.listed(guest)):
        raise AssertionError(f"the system's stick {system.device} is listed")
    other = with_old_gpt(context.stick("other"))
    guest.plug(other)
    serials = [row[3] for row in system_cases.listed(guest)]
    if serials != [other.serial]:
        raise AssertionError(f"expected only {other.serial} listed, got {serials}")
    # The running system writes to its stick all the time: compare what
    # the stick holds (its signatures and their identities), not its bytes.
    head = ["blkid", "-p", "-o", "export", f"/dev/{system.device}"]
    before = guest.root.run(head).stdout
    refused = guest.user.run(
        ["/usr/libexec/sarnovelle-usb-maker/diskutil", "partitionDisk", f"/dev/{system.device}",
         "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"],
        check=False, timeout=180)
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
