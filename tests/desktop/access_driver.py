"""The window driven through the accessibility bus only, as a screen
reader's user drives it. Runs inside the desktop guest as the user, in a
session bus of its own (dbus-run-session), with Debian's interpreter:

    dbus-run-session -- /usr/bin/python3 - <serial> <device>   (this file on stdin)

It puts the installed application on a display of its own (Xvfb), with a
notification service of its own on the session bus that writes down what
it is told, then: finds the pop-up by its role and name, chooses the stick
by its serial, presses Refresh and Make USB through their actions, answers
the confirmation by its Erase button, and, with another window active,
waits for the outcome in the log's text and the notification. A click on
the notification (the service's ActionInvoked) must bring the window
forward. One JSON object on standard output says what it saw; any failure
is an exception, with the accessibility tree on standard error.
"""

import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DISPLAY = ":7"
TITLE = "Tessamir Sarnovelle USB Maker"
DONE = "DONE. The USB is ready. You can remove it."
APP = os.environ.get("SARNOVELLE_APP", "/usr/bin/sarnovelle-usb-maker")

# The notification service: owns org.freedesktop.Notifications, writes each
# Notify call as a JSON line to argv[1], and sends ActionInvoked for the
# last notification, "default" action, whenever the file argv[2] appears.
NOTIFICATION_SERVICE = r'''
import json, os, sys
from gi.repository import Gio, GLib
XML = """<node><interface name="org.freedesktop.Notifications">
<method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/>
<arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
<arg type="as" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
<arg type="u" direction="out"/></method>
<method name="GetCapabilities"><arg type="as" direction="out"/></method>
<method name="CloseNotification"><arg type="u" direction="in"/></method>
<method name="GetServerInformation"><arg type="s" direction="out"/><arg type="s" direction="out"/>
<arg type="s" direction="out"/><arg type="s" direction="out"/></method>
<signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
<signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
</interface></node>"""
log, trigger = sys.argv[1], sys.argv[2]
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
shown = [0]
def call(connection, sender, path, interface, method, parameters, invocation):
    if method == "Notify":
        app, _, _, summary, body, actions, _, _ = parameters.unpack()
        shown[0] += 1
        with open(log, "a") as f:
            f.write(json.dumps({"id": shown[0], "app": app, "summary": summary, "body": body,
                                "actions": actions}) + "\n")
        invocation.return_value(GLib.Variant("(u)", (shown[0],)))
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["actions", "body"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("listener", "sarnovelle", "1", "1.2")))
    else:
        invocation.return_value(None)
bus.register_object("/org/freedesktop/Notifications", Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0],
                    call, None, None)
def poll():
    if os.path.exists(trigger):
        os.unlink(trigger)
        bus.emit_signal(None, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                        "ActionInvoked", GLib.Variant("(us)", (shown[0], "default")))
    return True
GLib.timeout_add(100, poll)
Gio.bus_own_name_on_connection(bus, "org.freedesktop.Notifications", Gio.BusNameOwnerFlags.NONE, None, None)
GLib.MainLoop().run()
'''


def wait_for(condition, what: str, timeout: float = 60):
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except Exception:  # the tree changes under the walk; ask again
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not happen within {timeout:.0f} s")
        time.sleep(0.3)


class OtherWindow:
    """A plain X window of another program, given the keyboard focus as a
    user gives it by going to another window (no window manager runs)."""

    def __init__(self):
        self.x = ctypes.CDLL("libX11.so.6")
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XCreateSimpleWindow.restype = ctypes.c_ulong
        self.x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 \
            + [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
        for name, longs in (("XMapWindow", 1), ("XRaiseWindow", 1), ("XSetInputFocus", 3), ("XSync", 1)):
            getattr(self.x, name).argtypes = [ctypes.c_void_p] + [ctypes.c_ulong] * longs
        self.x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 4
        self.x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p]
        self.x.XFree.argtypes = [ctypes.c_void_p]
        # A window may go between listing and asking (an alert closing):
        # X errors are ignored instead of ending the program.
        self.ignore = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda display, event: 0)
        self.x.XSetErrorHandler(self.ignore)
        self.display = self.x.XOpenDisplay(DISPLAY.encode())
        if not self.display:
            raise AssertionError(f"cannot open the display {DISPLAY}")
        root = self.x.XDefaultRootWindow(self.display)
        self.window = self.x.XCreateSimpleWindow(self.display, root, 600, 400, 200, 100, 0, 0, 0)
        self.x.XMapWindow(self.display, self.window)
        self.x.XSync(self.display, 0)

    def focus(self) -> None:
        self.x.XRaiseWindow(self.display, self.window)
        self.x.XSetInputFocus(self.display, self.window, 2, 0)  # RevertToParent, CurrentTime
        self.x.XSync(self.display, 0)

    def above(self, title: str) -> bool | None:
        """Whether the top-level window called `title` lies above this one
        (the root's children run from bottom to top); None when absent."""
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        self.x.XQueryTree(self.display, self.x.XDefaultRootWindow(self.display), ctypes.byref(root),
                          ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
        order = [children[i] for i in range(count.value)]
        self.x.XFree(children)
        named = None
        for index, window in enumerate(order):
            name = ctypes.c_char_p()
            if self.x.XFetchName(self.display, window, ctypes.byref(name)) and name.value:
                if name.value.decode(errors="replace") == title:
                    named = index
                self.x.XFree(name)
        if named is None:
            return None
        return named > order.index(self.window)


def walk(node, depth=0):
    yield node, depth
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def tree_text(root) -> str:
    lines = []
    for node, depth in walk(root):
        lines.append("  " * depth + f"[{node.getRoleName()}] {node.name!r}"
                     + (f" - {node.description!r}" if node.description else ""))
    return "\n".join(lines)


def actions_of(node) -> list[str]:
    action = node.queryAction()
    return [action.getName(i) for i in range(action.nActions)]


def do(node, name: str) -> None:
    names = actions_of(node)
    if name not in names:
        raise AssertionError(f"{node.getRoleName()} {node.name!r} has no action {name}: {names}")
    node.queryAction().doAction(names.index(name))


def choose(pyatspi, row, count: int) -> str:
    """Makes the pop-up's row the chosen one, as far as the toolkit lets an
    assistive technology; how it went."""
    if row.getState().contains(pyatspi.STATE_SELECTED):
        return "selected already"
    index = row.getIndexInParent()
    for way, select in (("Selection", lambda: row.parent.querySelection().selectChild(index)),
                        ("Table", lambda: row.parent.queryTable().addRowSelection(index))):
        try:
            select()
        except (NotImplementedError, AttributeError, RuntimeError):
            continue
        if row.getState().contains(pyatspi.STATE_SELECTED):
            return f"selected through {way}"
    if count == 1:
        return "the only row, the pop-up's current one"
    raise AssertionError(f"the row {row.name!r} cannot be chosen through the accessibility bus")


def main() -> None:
    import pyatspi  # Debian's, on Debian's interpreter only

    serial, device = sys.argv[1], sys.argv[2]
    work = Path(tempfile.mkdtemp(prefix="sarnovelle-access-"))
    notified, click = work / "notified.jsonl", work / "click"
    children = []
    environment = dict(os.environ, DISPLAY=DISPLAY, QT_QPA_PLATFORM="xcb",
                       QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    try:
        children.append(subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(lambda: Path(f"/tmp/.X11-unix/X{DISPLAY[1:]}").exists(), "the display")
        children.append(subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                         env=environment))
        children.append(subprocess.Popen([sys.executable, "-c", NOTIFICATION_SERVICE, str(notified), str(click)]))
        wait_for(lambda: subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
                                         "string:org.freedesktop.Notifications"],
                                        capture_output=True).returncode == 0, "the notification service")
        started = time.monotonic()
        app = subprocess.Popen([APP], env=environment, stdout=open(work / "app.log", "w"), stderr=subprocess.STDOUT)
        children.append(app)

        def frame():
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                application = desktop.getChildAtIndex(i)
                for j in range(application.childCount if application else 0):
                    child = application.getChildAtIndex(j)
                    if child is not None and child.getRoleName() == "frame" and child.name == TITLE:
                        return application, child
            return None

        application, window = wait_for(frame, "the window on the accessibility bus", 120)

        def find(role: str, name: str | None = None, root=None):
            # at-spi2-core 2.46 (Debian 12) says "push button", 2.56 (Debian 13) "button".
            roles = ("push button", "button") if role == "push button" else (role,)
            for node, _ in walk(root or window):
                if node.getRoleName() in roles and (name is None or node.name == name):
                    return node
            return None

        def labelled(name: str):
            for node, _ in walk(window):
                if node.getRoleName() != "combo box":
                    continue
                if node.name == name:
                    return node
                for relation in node.getRelationSet():
                    if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY and any(
                            relation.getTarget(i).name == name for i in range(relation.getNTargets())):
                        return node
            return None

        # Qt names a combo box by its current row; its label says what it is.
        popup = wait_for(lambda: labelled("USB disk"), "the pop-up named USB disk")
        refresh = find("push button", "Refresh")
        make = find("push button", "Make USB")
        log = find("text", "Log")
        if not (refresh and make and log):
            raise AssertionError("a control has no name:\n" + tree_text(window))

        def log_text() -> str:
            return log.queryText().getText(0, -1)

        listings = wait_for(lambda: log_text().count("USB disk"), "the first listing in the log")
        do(refresh, "Press")
        wait_for(lambda: log_text().count("USB disk") > listings, "the listing after Refresh")

        def rows() -> list:
            return [node for node, _ in walk(popup) if node.getRoleName() in ("list item", "menu item")]

        row = wait_for(lambda: next((r for r in rows() if serial in r.name), None), f"the stick {serial} in the pop-up")
        chosen = choose(pyatspi, row, len(rows()))
        tree = tree_text(window)
        wait_for(lambda: make.getState().contains(pyatspi.STATE_ENABLED), "Make USB enabled")
        do(make, "Press")

        def alert_with(button: str):
            for node, _ in walk(application):
                if node.getRoleName() in ("alert", "dialog"):
                    found = find("push button", button, node)
                    if found is not None:
                        return node, found
            return None

        confirmation, erase = wait_for(lambda: alert_with("Erase"), "the confirmation's Erase button")
        confirmation_text = " ".join(node.name for node, _ in walk(confirmation) if node.getRoleName() == "label")
        do(erase, "Press")
        other = OtherWindow()
        wait_for(lambda: make.getState().contains(pyatspi.STATE_ENABLED) is False, "the run's start")
        other.focus()
        wait_for(lambda: not window.getState().contains(pyatspi.STATE_ACTIVE), "another window active")
        wait_for(lambda: DONE in log_text() or "FAILED: " in log_text(), "the run's outcome in the log", 600)
        seconds = time.monotonic() - started
        notifications = wait_for(lambda: notified.exists() and notified.read_text().splitlines(),
                                 "the notification", 30)
        outcome, ok = wait_for(lambda: alert_with("OK"), "the outcome's alert")
        outcome_role = outcome.getRoleName()
        do(ok, "Press")
        other.focus()
        wait_for(lambda: not window.getState().contains(pyatspi.STATE_ACTIVE), "another window active again")
        if other.above(TITLE) is not False:
            raise AssertionError("the window is not below the other window before the click")
        click.touch()
        # Brought forward: raised above the other window. Without a window
        # manager the X server may refuse its request for the focus (the
        # request's time precedes the other window's), so the focus is only
        # reported.
        wait_for(lambda: other.above(TITLE), "the window brought forward by a click", 30)
        time.sleep(1)
        forward_active = window.getState().contains(pyatspi.STATE_ACTIVE)
        print(json.dumps({"tree": tree, "chosen": chosen, "log": log_text(), "confirmation": confirmation_text,
                          "outcome_role": outcome_role, "active_after_click": forward_active, "notifications": [json.loads(n) for n in notifications],
                          "seconds": seconds}))
    except Exception:
        try:
            print(tree_text(window), file=sys.stderr)  # noqa: F821  (when the window was found)
        except Exception:
            pass
        raise
    finally:
        for child in reversed(children):
            child.terminate()
            try:
                child.wait(10)
            except subprocess.TimeoutExpired:
                child.kill()


if __name__ == "__main__":
    main()
