"""A throwaway QEMU guest with a Debian desktop userland (systemd, D-Bus,
polkit, udisks2, an automounter) and a user logged in on tty1.

The root file system is the cached image of scripts/desktop/build_rootfs.py
behind QEMU's copy-on-write snapshot, so a run never changes the cache. The build
under test comes on a second, small disk (the "payload") that the guest
installs before the user logs in. Three virtio serial ports lead to the
host: a command agent running as root, one running as the user inside her
session, and the project's headless driver, started by her login.
"""

import json
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "system"))
from guest import GuestError, LineSocket, QemuGuest, Sockets, Stick, machine  # noqa: E402,F401

PORTS = ("root", "user", "driver")
ROOT_SERIAL = "snroot"
# Units without which the user's session never comes: once one of them has
# failed, waiting longer only hides the cause.
SESSION_UNITS = ("systemd-remount-fs.service", "systemd-logind.service", "dbus.service",
                 "sarnovelle-payload.service", "getty@tty1.service")
# After systemd's boot jobs are all done, the autologin and the user's
# profile still take a while under TCG on a busy host; not minutes more.
SESSION_GRACE = 240
WATCH_SLICE = 15  # seconds between two looks at the boot's progress


def by_id(serial: str) -> str:
    """The guest's stable name of the virtio disk with this serial."""
    return f"/dev/disk/by-id/virtio-{serial}"


class Agent:
    """The command agent on one serial port (see guest/agent.py)."""

    def __init__(self, name: str, line: LineSocket):
        self.name = name
        self.line = line
        self.next_id = 0

    def wait_ready(self, timeout: float) -> None:
        reply = json.loads(self.line.line(timeout))
        if "ready" not in reply:
            raise GuestError(f"the {self.name} agent greeted with {reply}")

    def request(self, request: dict, timeout: float) -> dict:
        self.next_id += 1
        request["id"] = self.next_id
        self.line.send(json.dumps(request))
        while True:
            reply = json.loads(self.line.line(timeout))
            if reply.get("id") == self.next_id:
                return reply

    def run(self, argv: list[str], timeout: float = 120, check: bool = True,
            stdin: str = "") -> subprocess.CompletedProcess:
        reply = self.request({"argv": argv, "timeout": timeout, "input": stdin}, timeout + 10)
        result = subprocess.CompletedProcess(argv, reply["rc"], reply["out"], reply["err"])
        if check and result.returncode != 0:
            raise GuestError(f"{self.name}: {' '.join(argv)} ended with {result.returncode}: "
                             f"{result.stderr.strip() or result.stdout.strip()}")
        return result

    def start(self, argv: list[str]) -> int:
        """Starts a program in the background; its process id."""
        return self.request({"argv": argv, "background": True}, 30)["pid"]


def virtio_disk(serial: str, drive: str) -> list[str]:
    """QEMU's options for a virtio disk with this serial (by_id(serial))."""
    return ["-drive", f"{drive},if=none,id=disk-{serial}",
            "-device", f"virtio-blk-pci,drive=disk-{serial},serial={serial}"]


def make_payload(folder: Path, image: Path) -> Path:
    """An ext4 image labelled SNPAYLOAD holding `folder` (no mounts needed)."""
    size = sum(p.stat().st_size for p in folder.rglob("*") if p.is_file())
    mib = size * 2 // (1 << 20) + 16
    image.unlink(missing_ok=True)
    subprocess.run(["mke2fs", "-q", "-t", "ext4", "-L", "SNPAYLOAD", "-d", str(folder),
                    str(image), f"{mib}M"], check=True)
    return image


class DesktopGuest(QemuGuest):
    """One running desktop guest. Use as a context manager.

    The root is named by the virtio disk's serial, not by the file system's
    label: an extra drive may carry a copy of the same file system.
    `boot_sticks` replace the virtio root disk: USB sticks present from the
    start, one of which holds the root file system named by `root` (by its
    label unless said otherwise).
    `extra_drives` (serial: image) are further read-only virtio disks, each
    seen in the guest as by_id(serial).
    With `session` false the guest is up once root's agent answers: no
    payload is installed and nobody logs in (a guest that only prepares
    disks). `name` prefixes its log files in `work_dir`."""

    def __init__(self, rootfs: Path, payload: Path, work_dir: Path, memory_mib: int = 1536,
                 boot_sticks: tuple[Stick, ...] = (), root: str = "",
                 extra_drives: dict[str, Path] | None = None, boot_timeout: float = 600,
                 session: bool = True, name: str = ""):
        self.work_dir = work_dir
        self.prefix = f"{name}-" if name else ""
        self.console_path = work_dir / f"{self.prefix}console.log"
        self.boot_timeout = boot_timeout
        self.root_ready = False
        root = root or ("LABEL=snroot" if boot_sticks else by_id(ROOT_SERIAL))
        self.transcript = []
        self.sockets = Sockets(PORTS + ("qmp",), "sarnovelle-desktop-")
        command = machine(memory_mib, self.console_path, self.sockets.path("qmp"), cpus=2) + [
            "-kernel", str(rootfs / "vmlinuz"), "-initrd", str(rootfs / "initrd.img"),
            "-append", f"root={root} rw console=ttyS0 panic=-1 quiet systemd.show_status=1 "
                       # TCG on a busy host: slow starts are no failures
                       "systemd.default_timeout_start_sec=900"
                       + ("" if session else " systemd.mask=sarnovelle-payload.service"
                                             " systemd.mask=getty@tty1.service"),
            "-device", "virtio-serial-pci,id=ports",
            "-drive", f"file={payload},format=raw,if=virtio,readonly=on",
        ]
        for serial, drive in (extra_drives or {}).items():
            command += virtio_disk(serial, f"file={drive},format=raw,readonly=on")
        if not boot_sticks:
            # Writes go to a throwaway overlay: the cached image never changes.
            command += virtio_disk(ROOT_SERIAL, f"file={rootfs / 'root.img'},format=raw,"
                                                "snapshot=on,cache=unsafe")
        for stick in boot_sticks:
            # A stick over the cached image takes its writes in a snapshot.
            snapshot = "on" if stick.path == rootfs / "root.img" else "off"
            command += ["-drive", f"file={stick.path},format=raw,if=none,id={stick.name},"
                                  f"snapshot={snapshot},cache=unsafe",
                        "-device", f"usb-storage,bus=xhci.0,drive={stick.name},"
                                   f"id={stick.name},serial={stick.serial}"]
        for name in PORTS:
            command += ["-chardev", f"socket,id={name},path={self.sockets.path(name)}",
                        "-device", f"virtserialport,bus=ports.0,chardev={name},"
                                   f"name=sarnovelle.{name}"]
        try:
            connections = self.start(command, work_dir / f"{self.prefix}qemu.log")
            self.root = Agent("root", LineSocket(connections["root"]))
            self.user = Agent("user", LineSocket(connections["user"]))
            self.control = LineSocket(connections["driver"])
            deadline = self.started + boot_timeout
            self.watch("root's agent", self.root.wait_ready, deadline, watched=False)
            self.root_ready = True
            if session:
                self.watch("the user's session", self.user.wait_ready, deadline)
                self.watch("the driver's READY", self.driver_ready, deadline)
            self.boot_seconds = time.monotonic() - self.started
        except Exception as error:
            report = self.boot_report()
            tail = self.tail()
            self.kill()
            qemu_log = (work_dir / f"{self.prefix}qemu.log").read_text(errors="replace")
            if qemu_log:
                tail += "\n--- QEMU ---\n" + qemu_log[-2000:]
            raise GuestError(f"the desktop guest did not come up: {error}\n{report}\n{tail}") \
                from None

    def driver_ready(self, timeout: float) -> None:
        line = self.control.line(timeout)
        if line != "READY":
            raise GuestError(f"the driver greeted with {line!r}")

    def watch(self, what: str, wait, deadline: float, watched: bool = True) -> None:
        """Waits for `what` (wait(timeout) returns once it came), looking at
        the boot's progress in between: fails as soon as a unit the session
        needs has failed, when the boot finished SESSION_GRACE seconds ago
        without it, or at the deadline."""
        settled = None
        while True:
            try:
                return wait(max(1.0, min(WATCH_SLICE, deadline - time.monotonic())))
            except GuestError as error:
                if not str(error).startswith("no answer"):
                    raise
            if self.process.poll() is not None:
                raise GuestError(f"QEMU ended ({self.process.returncode}) before {what}")
            now = time.monotonic()
            if now >= deadline:
                raise GuestError(f"{what} did not come within {self.boot_timeout:.0f} s "
                                 "of the start")
            if not watched:
                continue
            failed = [unit for unit in self.failed_units() if unit in SESSION_UNITS]
            if failed:
                raise GuestError(f"{what} cannot come: {', '.join(failed)} failed")
            state = self.root.run(["systemctl", "is-system-running"], check=False,
                                  timeout=30).stdout.strip()
            if state in ("running", "degraded"):
                settled = settled or now
                if now - settled > SESSION_GRACE:
                    raise GuestError(f"the boot finished ({state}) but {what} did not come "
                                     f"within {SESSION_GRACE} s")

    def failed_units(self) -> list[str]:
        out = self.root.run(["systemctl", "list-units", "--failed", "--no-legend", "--plain"],
                            check=False, timeout=30).stdout
        return [line.split()[0] for line in out.splitlines() if line.strip()]

    def boot_report(self) -> str:
        """The failed units, their journal and the root mount, as root's
        agent reports them (when it is up); also kept in journal.txt."""
        if not self.root_ready:
            return "root's agent never answered: see the console"
        try:
            script = ("echo \"root: $(findmnt -no SOURCE,OPTIONS /)\"; "
                      "echo \"state: $(systemctl is-system-running)\"; "
                      "for unit in $(systemctl list-units --failed --no-legend --plain | "
                      "cut -d' ' -f1); do echo \"--- failed: $unit\"; "
                      "journalctl -b --no-pager -o short-monotonic -u $unit | tail -n 15; done")
            report = self.root.run(["sh", "-c", script], check=False, timeout=60).stdout
        except Exception as error:  # root's agent is not up
            report = f"no report from the guest: {error}\n"
        (self.work_dir / f"{self.prefix}journal.txt").write_text(report)
        return report

    def __exit__(self, kind, *rest) -> None:
        if kind is not None:
            self.save_journal()
        self.close()

    def save_journal(self) -> None:
        """The guest's journal and the user's program logs, for diagnosis."""
        try:
            text = self.root.run(["sh", "-c", "journalctl -b --no-pager -o short-monotonic "
                                  "-u polkit -u udisks2 | tail -n 300; "
                                  "journalctl -b --no-pager -o short-monotonic -t sarnovelle-agent; "
                                  "for f in /home/tester/*.log; do echo \"--- $f\"; tail -n 50 $f; done"],
                                 check=False, timeout=240).stdout
            (self.work_dir / f"{self.prefix}journal.txt").write_text(text)
        except Exception as error:  # the guest may be gone
            (self.work_dir / f"{self.prefix}journal.txt").write_text(f"no journal: {error}\n")

    def blocks(self) -> dict[str, int]:
        """The guest's SCSI disks (USB sticks) and their sizes in bytes."""
        script = "for d in /sys/block/sd*; do [ -e $d ] && echo ${d##*/} $(cat $d/size); done; true"
        out = self.root.run(["sh", "-c", script]).stdout
        return {name: int(sectors) * 512 for name, sectors in
                (line.split() for line in out.splitlines())}

    def journal(self, *arguments: str) -> list[str]:
        return self.root.run(["journalctl", "--no-pager", "-o", "cat", *arguments]).stdout.splitlines()

    def polkit_check_lines(self) -> list[str]:
        """polkitd's log line of every authorisation check so far."""
        # polkitd's rule log does not carry its unit: search the whole journal,
        # inside the guest (the agent's replies stay short).
        return self.root.run(["sh", "-c", "journalctl --no-pager -o cat | "
                              "grep 'sarnovelle-check action=' || true"]).stdout.splitlines()

    def prompts(self) -> list[str]:
        """The action of every password prompt the user's agent answered."""
        return [line.split("action=")[1].split()[0]
                for line in self.journal("-t", "sarnovelle-agent")
                if "sarnovelle-prompt action=" in line]

    def close(self) -> None:
        if self.process.poll() is None:
            try:
                self.send("quit")
                self.root.request({"argv": ["systemctl", "poweroff"], "background": True}, 10)
                self.process.wait(timeout=60)
            except Exception:
                pass
        self.kill()
