"""Desktop tier: the window as a screen reader's user drives it. The guest
side (access_driver.py, run by the user in a session bus of its own) uses
the accessibility bus only; this side checks what it saw, the run through
udisks2 and the stick on the host."""

import json
from pathlib import Path

import old_sticks
from desktop_guest import DesktopGuest

import cases as system_cases  # noqa: E402  (desktop_guest puts tests/system on the path)

DRIVER = Path(__file__).with_name("access_driver.py")
APP_NAME = "Tessamir Sarnovelle USB Maker"


def window_by_accessibility(context, guest: DesktopGuest) -> str:
    """A whole run through the accessibility bus: the pop-up found by its
    role and name, the stick chosen, Refresh and Make USB pressed through
    their actions, the confirmation answered by its Erase button, the
    outcome read from the log's text. With another window active at the
    end, the notification names the stick, and a click on it raises the
    window above the other one."""
    import desktop_cases  # the tier's shared checks; it imports this module

    stick = context.stick("access", old_sticks.old_gpt)
    guest.plug(stick)
    (row,) = [row for row in system_cases.listed(guest) if row[3] == stick.serial]
    disk, name, size = row[0], row[1], int(row[2])
    count = desktop_cases.PolkitCount(guest)
    result = guest.user.run(["dbus-run-session", "--", "/usr/bin/python3", "-", stick.serial, disk],
                            stdin=DRIVER.read_text(), timeout=900, check=False)
    if result.returncode != 0:
        raise AssertionError(f"the accessibility driver ended with {result.returncode}:\n"
                             + result.stderr[-6000:])
    seen = json.loads(result.stdout.strip().splitlines()[-1])
    log = [line[10:] for line in seen["log"].splitlines()]
    if desktop_cases.DONE not in log:
        raise AssertionError("the log's text shows no DONE:\n" + seen["log"])
    if not seen["confirmation"].count(disk):
        raise AssertionError(f"the confirmation does not name {disk}: {seen['confirmation']!r}")
    system_cases.check_equal(seen["outcome_role"], "alert", "the outcome's role")
    expected = f"The USB is ready: {disk}, {name} {size / 1e9:.1f} GB"
    system_cases.check_equal([(n["app"], n["summary"], n["actions"][:1]) for n in seen["notifications"]],
                             [(APP_NAME, expected, ["default"])], "the notifications")
    # at-spi2-core 2.56 (Debian 13) calls a push button "button".
    tree = seen["tree"].replace("[button] ", "[push button] ")
    for control in (f"[combo box] '{row[4]}'", "[label] 'USB disk'", "[push button] 'Refresh'",
                    "[push button] 'Make USB'", "[text] 'Log'"):
        if control not in tree:
            raise AssertionError(f"{control} is not in the window's tree:\n{seen['tree']}")
    desktop_cases.wait_for(lambda: stick.device not in guest.blocks(), f"the eject of {stick.device}", 30)
    desktop_cases.check_asked_as_session_user(count)
    if count.prompts():
        raise AssertionError(f"the user was asked for a password: {count.prompts()}")
    system_cases.check_prepared_stick(context, stick)
    focus = "active" if seen["active_after_click"] else "raised, focus refused without a window manager"
    return desktop_cases.note(f"DONE through AT-SPI ({seen['chosen']}), notified \"{expected}\", "
                              f"after the click {focus}", seen["seconds"], count)
