"""A throwaway QEMU guest running the headless driver, and its USB sticks.

The guest is started with TCG, an xHCI controller and no disks; sticks are
plugged and pulled through QMP while it runs, so a case controls exactly
which disks the guest sees and in which order the kernel names them. The
driver talks over the guest's second serial port (a unix socket here); the
kernel console goes to a file for diagnosis.

QemuGuest holds what the desktop tier's guest (tests/desktop) shares with
this one: the QEMU process, its sockets, QMP, the driver's line protocol
and the sticks.
"""

import json
import shutil
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

QEMU = "qemu-system-x86_64"


class GuestError(Exception):
    pass


class LineSocket:
    """Lines over a stream socket, with a deadline on every read."""

    def __init__(self, connection: socket.socket):
        self.connection = connection
        self.pending = b""

    def send(self, text: str) -> None:
        self.connection.sendall(text.encode() + b"\n")

    def line(self, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise GuestError(f"no answer within {timeout:.0f} s")
            self.connection.settimeout(remaining)
            try:
                chunk = self.connection.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                raise GuestError("the guest closed the line")
            self.pending += chunk
        line, _, self.pending = self.pending.partition(b"\n")
        return line.decode("utf-8", "replace").rstrip("\r")


class Qmp:
    """The QEMU machine protocol: commands and the events seen so far."""

    def __init__(self, connection: socket.socket):
        self.lines = LineSocket(connection)
        self.events: list[dict] = []
        self._read(10)  # greeting
        self.command("qmp_capabilities")

    def _read(self, timeout: float) -> dict:
        return json.loads(self.lines.line(timeout))

    def command(self, name: str, **arguments) -> object:
        request = {"execute": name}
        if arguments:
            request["arguments"] = arguments
        self.lines.send(json.dumps(request))
        while True:
            answer = self._read(30)
            if "event" in answer:
                self.events.append(answer)
            elif "error" in answer:
                raise GuestError(f"QMP {name}: {answer['error'].get('desc')}")
            elif "return" in answer:
                return answer["return"]

    def wait_event(self, name: str, timeout: float, **data) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["event"] == name and all(
                        event.get("data", {}).get(k) == v for k, v in data.items()):
                    self.events.remove(event)
                    return event
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise GuestError(f"no QMP event {name} within {timeout:.0f} s")
            try:
                answer = self._read(remaining)
            except GuestError:
                continue
            if "event" in answer:
                self.events.append(answer)


@dataclass
class Stick:
    """One emulated USB stick: a sparse image file behind usb-storage."""
    name: str
    path: Path
    size: int
    serial: str
    read_only: bool = False
    # The host's cache bypassed (cache=none), so that the guest reads what
    # the host changes in the file. Needs a size in whole host blocks.
    direct: bool = True
    device: str = ""  # the guest kernel's name once plugged

    def create(self) -> "Stick":
        self.path.unlink(missing_ok=True)
        with open(self.path, "wb") as image:
            image.truncate(self.size)
        return self


class Sockets:
    """Unix sockets that QEMU connects to as a client, one per name, in a
    folder of their own: socket paths must stay short, whatever the build
    folder's depth."""

    def __init__(self, names: tuple[str, ...], prefix: str):
        self.folder = Path(tempfile.mkdtemp(prefix=prefix))
        self.listeners: dict[str, socket.socket] = {}
        for name in names:
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            listener.bind(str(self.path(name)))
            listener.listen(1)
            self.listeners[name] = listener

    def path(self, name: str) -> Path:
        return self.folder / f"{name}.sock"

    def accept(self, timeout: float = 30) -> dict[str, socket.socket]:
        """One connection on each socket; the listeners are gone after."""
        connections = {}
        for name, listener in self.listeners.items():
            listener.settimeout(timeout)
            connections[name], _ = listener.accept()
            listener.close()
            self.path(name).unlink()
        self.listeners = {}
        return connections

    def remove(self) -> None:
        for listener in self.listeners.values():
            listener.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def machine(memory_mib: int, console: Path, qmp: Path, cpus: int = 0) -> list[str]:
    """QEMU's options every guest shares: a q35 machine under TCG without
    default devices, display or reboot, the console in a file, QMP on a
    socket and an xHCI controller for the sticks."""
    return [QEMU, "-machine", "q35,accel=tcg", "-cpu", "max"] \
        + (["-smp", str(cpus)] if cpus else []) + [
        "-m", str(memory_mib), "-nodefaults", "-display", "none", "-no-reboot",
        "-serial", f"file:{console}",
        "-chardev", f"socket,id=qmp,path={qmp}",
        "-mon", "chardev=qmp,mode=control",
        "-device", "qemu-xhci,id=xhci"]


class QemuGuest:
    """What every guest of the tiers shares: the QEMU process with its log,
    QMP, the driver's line protocol on `control`, and the sticks plugged and
    pulled through QMP. A subclass boots with `start` and says how it sees
    its disks (`blocks`)."""

    work_dir: Path
    console_path: Path
    transcript: list[str]
    sockets: Sockets
    process: subprocess.Popen
    qmp: Qmp
    control: LineSocket
    started: float

    def start(self, command: list[str], log: Path) -> dict[str, socket.socket]:
        """Starts QEMU on `command` (its output to `log`) and returns its
        connection on each of self.sockets; QMP is set up. Kills QEMU when
        it never connects."""
        self.started = time.monotonic()
        with open(log, "wb") as qemu_log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                            stdout=qemu_log, stderr=subprocess.STDOUT)
        try:
            connections = self.sockets.accept()
            self.qmp = Qmp(connections["qmp"])
        except Exception:
            self.kill()
            raise
        return connections

    def blocks(self) -> dict[str, int]:
        """The guest's USB disks by kernel name, with their sizes in bytes."""
        raise NotImplementedError

    def __enter__(self) -> "QemuGuest":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # The driver's line protocol.

    def send(self, command: str) -> None:
        self.transcript.append("> " + command)
        self.control.send(command)

    def line(self, timeout: float = 60) -> str:
        try:
            line = self.control.line(timeout)
        except GuestError as error:
            raise GuestError(f"{error}; the guest said so far:\n" + self.tail()) from None
        self.transcript.append(line)
        return line

    def expect(self, wanted: str, timeout: float = 60) -> None:
        line = self.line(timeout)
        if line != wanted:
            raise GuestError(f"expected {wanted!r}, got {line!r}")

    def until(self, ends: tuple[str, ...], timeout: float = 120) -> list[str]:
        """The lines up to and including the first that starts with one of `ends`."""
        deadline = time.monotonic() + timeout
        lines = []
        while True:
            line = self.line(max(0.1, deadline - time.monotonic()))
            lines.append(line)
            if line.startswith(ends):
                return lines

    def ask(self, command: str, timeout: float = 60) -> list[str]:
        """Runs a command; its lines without the final OK. ERROR raises."""
        self.send(command)
        lines = self.until(("OK", "ERROR"), timeout)
        if lines[-1].startswith("ERROR"):
            raise GuestError(f"{command}: {lines[-1]}")
        return lines[:-1]

    def wait_blocks(self, predicate, timeout: float = 30) -> dict[str, int]:
        deadline = time.monotonic() + timeout
        while True:
            blocks = self.blocks()
            if predicate(blocks):
                return blocks
            if time.monotonic() > deadline:
                raise GuestError(f"the guest's disks stayed {blocks}")
            time.sleep(0.2)

    # Sticks.

    def plug(self, stick: Stick, blkdebug_config: Path | None = None) -> str:
        """Attaches the stick and returns the kernel's name for it."""
        before = set(self.blocks())
        read_only = stick.read_only
        self.qmp.command("blockdev-add", **{
            "driver": "file", "node-name": f"{stick.name}-file",
            "filename": str(stick.path), "read-only": read_only,
            "cache": {"direct": stick.direct, "no-flush": False}})
        self.qmp.command("blockdev-add", **{
            "driver": "raw", "node-name": stick.name, "file": f"{stick.name}-file",
            "read-only": read_only})
        self.qmp.command("device_add", driver="usb-storage", id=stick.name,
                         bus="xhci.0", drive=stick.name, serial=stick.serial)
        blocks = self.wait_blocks(lambda b: set(b) - before)
        (stick.device,) = set(blocks) - before
        if blocks[stick.device] != stick.size:
            raise GuestError(f"{stick.device} has {blocks[stick.device]} bytes, "
                             f"not {stick.size}")
        return stick.device

    def pull(self, stick: Stick) -> None:
        """Removes the stick as a user pulls it; returns once QEMU let go."""
        self.qmp.command("device_del", id=stick.name)
        self.qmp.wait_event("DEVICE_DELETED", 30, device=stick.name)

    def inject_read_errors(self, stick: Stick, sectors: list[int]) -> None:
        """From now on every read that touches one of `sectors` fails with
        EIO: a blkdebug filter is slid between the stick and its file."""
        config = self.work_dir / f"{stick.name}-blkdebug.conf"
        config.write_text("".join(
            "[inject-error]\nevent = \"read_aio\"\niotype = \"read\"\n"
            f"errno = \"5\"\nsector = \"{s}\"\nonce = \"off\"\n\n" for s in sectors))
        self.qmp.command("blockdev-add", **{
            "driver": "blkdebug", "node-name": f"{stick.name}-debug",
            "image": f"{stick.name}-file", "config": str(config)})
        self.qmp.command("blockdev-reopen", options=[{
            "driver": "raw", "node-name": stick.name, "file": f"{stick.name}-debug",
            "read-only": stick.read_only}])

    # Ending.

    def tail(self, count: int = 40) -> str:
        console = ""
        if self.console_path.exists():
            console = self.console_path.read_text(errors="replace")[-3000:]
        return ("\n".join(self.transcript[-count:]) + "\n--- guest console ---\n"
                + console)

    def close(self) -> None:
        if self.process.poll() is None:
            try:
                self.send("quit")
                self.process.wait(timeout=20)
            except Exception:
                pass
        self.kill()

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.sockets.remove()


class Guest(QemuGuest):
    """One running guest of the system tier: a busybox initramfs whose
    driver answers on the second serial port. Use as a context manager."""

    def __init__(self, guest_dir: Path, work_dir: Path, memory_mib: int = 512):
        self.work_dir = work_dir
        self.console_path = work_dir / "console.log"
        self.transcript = []
        self.sockets = Sockets(("control", "qmp"), "sarnovelle-guest-")
        command = machine(memory_mib, self.console_path, self.sockets.path("qmp")) + [
            "-kernel", str(guest_dir / "vmlinux"),
            "-initrd", str(guest_dir / "initramfs.cpio"),
            "-append", "console=ttyS0 quiet panic=-1",
            "-chardev", f"socket,id=control,path={self.sockets.path('control')}",
            "-serial", "chardev:control",
        ]
        connections = self.start(command, work_dir / "qemu.log")
        try:
            self.control = LineSocket(connections["control"])
            self.expect("READY", timeout=60)
            self.boot_seconds = time.monotonic() - self.started
        except Exception:
            self.kill()
            raise

    def blocks(self) -> dict[str, int]:
        result = {}
        for line in self.ask("blocks"):
            _, name, size = line.split()
            result[name] = int(size)
        return result
