#!/usr/bin/python3
"""A polkit authentication agent for the user's session that answers every
prompt with the administrator password given as its argument, as a person
would type it into the desktop's dialog. Each prompt is logged to the
journal ("sarnovelle-prompt action=<id>"), so that the tests count them.

    polkit-agent.py PASSWORD
"""

import os
import subprocess
import sys

import gi

gi.require_version("Polkit", "1.0")
gi.require_version("PolkitAgent", "1.0")
from gi.repository import Gio, GLib, Polkit, PolkitAgent  # noqa: E402

AGENT_PATH = "/org/sarnovelle/AuthenticationAgent"
INTERFACE = """
<node><interface name="org.freedesktop.PolicyKit1.AuthenticationAgent">
  <method name="BeginAuthentication">
    <arg type="s" name="action_id" direction="in"/>
    <arg type="s" name="message" direction="in"/>
    <arg type="s" name="icon_name" direction="in"/>
    <arg type="a{ss}" name="details" direction="in"/>
    <arg type="s" name="cookie" direction="in"/>
    <arg type="a(sa{sv})" name="identities" direction="in"/>
  </method>
  <method name="CancelAuthentication">
    <arg type="s" name="cookie" direction="in"/>
  </method>
</interface></node>
"""


class Agent:
    def __init__(self, password: str):
        self.password = password
        self.sessions: dict[str, PolkitAgent.Session] = {}

    def call(self, connection, sender, path, interface, method, parameters, invocation):
        if method == "CancelAuthentication":
            (cookie,) = parameters.unpack()
            session = self.sessions.pop(cookie, None)
            if session is not None:
                session.cancel()
            invocation.return_value(None)
            return
        action_id, _message, _icon, _details, cookie, identities = parameters.unpack()
        subprocess.run(["logger", "-t", "sarnovelle-agent", f"sarnovelle-prompt action={action_id}"])
        users = [ident[1]["uid"] for ident in identities if ident[0] == "unix-user"]
        if not users:
            invocation.return_dbus_error("org.freedesktop.PolicyKit1.Error.Failed",
                                         "no user identity offered")
            return
        session = PolkitAgent.Session.new(Polkit.UnixUser.new(0 if 0 in users else users[0]),
                                          cookie)
        self.sessions[cookie] = session

        def request(session, _text, _echo):
            session.response(self.password)

        def completed(session, gained):
            self.sessions.pop(cookie, None)
            if gained:
                invocation.return_value(None)
            else:
                invocation.return_dbus_error("org.freedesktop.PolicyKit1.Error.Failed",
                                             "authentication failed")

        session.connect("request", request)
        session.connect("completed", completed)
        session.initiate()


def main() -> int:
    agent = Agent(sys.argv[1])
    bus = Gio.bus_get_sync(Gio.BusType.SYSTEM, None)
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACE)
    bus.register_object(AGENT_PATH, node.interfaces[0], agent.call, None, None)
    session = Polkit.UnixSession.new_for_process_sync(os.getpid(), None)
    subject = GLib.Variant("(sa{sv})", ("unix-session", {
        "session-id": GLib.Variant("s", session.get_session_id())}))
    bus.call_sync("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                  "org.freedesktop.PolicyKit1.Authority", "RegisterAuthenticationAgent",
                  GLib.Variant.new_tuple(subject, GLib.Variant("s", "C.UTF-8"),
                                         GLib.Variant("s", AGENT_PATH)),
                  None, Gio.DBusCallFlags.NONE, -1, None)
    print("agent registered", flush=True)
    GLib.MainLoop().run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
