#!/usr/bin/env bash
# Lets this amd64 host run armhf programs directly through user-mode QEMU, as the armhf test
# build needs (its tests start the daemons as child processes). Changes nothing but the kernel's
# binfmt_misc table: mounts it when it is not mounted and registers qemu-arm when it is missing.
# Needs root for those two steps, and qemu-user-static installed.
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
conf=/usr/lib/binfmt.d/qemu-arm.conf
[ -f "$conf" ] || { echo "enable-qemu-arm: $conf missing (install qemu-user-static)" >&2; exit 1; }

mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
# Flag F opens the interpreter at registration, so it also works where the program's own
# file system view differs (chroots, umockdev's redirections).
[ -e "$binfmt/qemu-arm" ] || cat "$conf" > "$binfmt/register"
grep -qx enabled "$binfmt/qemu-arm" || { echo "enable-qemu-arm: qemu-arm is registered but disabled" >&2; exit 1; }
grep -qx enabled "$binfmt/status" || { echo "enable-qemu-arm: binfmt_misc is disabled" >&2; exit 1; }
