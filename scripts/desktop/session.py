#!/usr/bin/env python3
"""Boots the desktop test guest by hand and takes commands on stdin, one
per line, for trying things out (the tests do the same from desktop_cases):

    root <shell command>      run as root, print status and output
    user <shell command>      run as the user "tester" inside her session
    plug <name> [<MiB>]       plug a fresh USB stick <name> (image in --work)
    pull <name>               pull it again
    driver <line>             one line to the headless driver; prints its
                              answer up to OK/ERROR (e.g. "driver list")
    journal [<journalctl arguments>]
    quit

    session.py --build <build folder> --driver <sarnovelle-system-driver>
               [--deb <package>] [--work <folder>]
"""

import argparse
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
sys.path.insert(0, str(ROOT / "tests" / "desktop"))
sys.dont_write_bytecode = True

import run_desktop_tests  # noqa: E402
from desktop_guest import DesktopGuest, Stick, make_payload  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--driver", type=Path, required=True)
    parser.add_argument("--deb", type=Path)
    parser.add_argument("--work", type=Path, default=Path("/tmp/sarnovelle-desktop-session"))
    args = parser.parse_args()

    built = subprocess.run([sys.executable, str(ROOT / "scripts/desktop/build_rootfs.py")],
                           stdout=subprocess.PIPE, text=True, check=True)
    rootfs = Path(built.stdout.strip().splitlines()[-1])
    shutil.rmtree(args.work, ignore_errors=True)
    payload = args.work / "payload"
    payload.mkdir(parents=True)
    if args.deb:
        run_desktop_tests.write_package_setup(payload, args.deb)
    else:
        subprocess.run(["cmake", "--install", str(args.build), "--prefix", "/usr"],
                       env={"DESTDIR": str(payload / "tree"), "PATH": "/usr/bin:/bin"},
                       check=True, stdout=subprocess.DEVNULL)
    shutil.copy(args.driver, payload / "driver")
    sticks: dict[str, Stick] = {}
    with DesktopGuest(rootfs, make_payload(payload, args.work / "payload.img"),
                      args.work) as guest:
        print(f"guest up in {guest.boot_seconds:.0f} s; console: {guest.console_path}", flush=True)
        for line in sys.stdin:
            word, _, rest = line.strip().partition(" ")
            try:
                if word in ("root", "user"):
                    agent = guest.root if word == "root" else guest.user
                    result = agent.run(["sh", "-c", rest], check=False, timeout=600)
                    print(f"[{result.returncode}]\n{result.stdout}{result.stderr}", end="")
                elif word == "plug":
                    name, *size = rest.split()
                    mib = int(size[0]) if size else 2048
                    stick = Stick(name, args.work / f"{name}.img", mib << 20,
                                  f"SARN-{name.upper()}-0042").create()
                    sticks[name] = stick
                    print(f"{name} is /dev/{guest.plug(stick)} ({stick.path})")
                elif word == "pull":
                    guest.pull(sticks.pop(rest))
                    print("pulled")
                elif word == "driver":
                    guest.send(rest)
                    print("\n".join(guest.until(("OK", "ERROR"), 600)))
                elif word == "journal":
                    print("\n".join(guest.journal(*shlex.split(rest))))
                elif word == "quit":
                    break
                else:
                    print(f"unknown command {word!r}")
            except Exception as error:  # keep the session going
                print(f"failed: {error}")
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
