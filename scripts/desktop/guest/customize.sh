#!/bin/sh
# Turns the freshly bootstrapped tree ($1) into the desktop test guest;
# $2 is the folder of this script's companion files.
set -eu
root=$1
files=$2

chroot "$root" useradd --create-home --uid 1000 --shell /bin/bash --comment Tester tester
echo root:sarnovelle | chroot "$root" chpasswd
echo sarnovelle-desktop >"$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 sarnovelle-desktop\n' >"$root/etc/hosts"
echo 'LABEL=snroot / ext4 defaults,errors=remount-ro 0 1' >"$root/etc/fstab"

install -d "$root/usr/local/lib/sarnovelle"
install -m 0755 "$files/agent.py" "$files/install-payload" "$root/usr/local/lib/sarnovelle/"
install -m 0644 "$files/sarnovelle-agent.service" "$files/sarnovelle-payload.service" \
    "$root/etc/systemd/system/"
install -d "$root/etc/systemd/system/getty@tty1.service.d"
install -m 0644 "$files/autologin.conf" "$root/etc/systemd/system/getty@tty1.service.d/"
install -m 0644 "$files/70-sarnovelle-ports.rules" "$root/etc/udev/rules.d/"
install -m 0644 "$files/00-sarnovelle-log.rules" "$root/etc/polkit-1/rules.d/"
install -m 0644 "$files/polkit-agent.py" "$root/usr/local/lib/sarnovelle/"
cat "$files/profile" >>"$root/home/tester/.profile"

chroot "$root" systemctl enable sarnovelle-agent.service sarnovelle-payload.service
# Nothing that is not part of the test runs in the background.
chroot "$root" systemctl mask serial-getty@ttyS0.service apt-daily.timer \
    apt-daily-upgrade.timer e2scrub_all.timer e2scrub_reap.service fstrim.timer \
    systemd-networkd-wait-online.service
# The journal lives in memory; the tests read it while the guest runs.
install -d "$root/etc/systemd/journald.conf.d"
printf '[Journal]\nStorage=volatile\n' >"$root/etc/systemd/journald.conf.d/volatile.conf"
