#!/usr/bin/env bash
# Builds the amd64 packages (or finds them up to date), checks their contents, then installs them
# with dpkg into a throwaway root and runs them there under runit: the command service answers a
# job through the installed vek-request with its installed configuration (only the broker port
# changed), runit restarts a killed daemon, the key update daemon's environment can stop and start
# the link service with sv, and the packages purge cleanly.
#
#   install_test.sh <source dir>
#
# The throwaway root is an overlay on this machine's own / in a mount and PID namespace of the
# test's own: it has exactly this machine's packages (so dpkg checks the dependencies against
# them), it is made in a second, and everything mounted or started in it ends with the test.
# Needs root; exits 77 (skipped) where that, or the packaging tools, cannot be had.
set -euo pipefail

here=$(dirname "$(realpath "$0")")
skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  exit 1
}

if [ "${1:-}" != --inside ]; then
  src=$(realpath "$1")
  [ -z "${VEK_SKIP_DEBS:-}" ] || skip "VEK_SKIP_DEBS is set"
  [ "$(dpkg --print-architecture)" = amd64 ] || skip "the installation test installs amd64 packages, this is $(dpkg --print-architecture)"
  [ "$(id -u)" -eq 0 ] || skip "needs root (packages are built with the tools installed as root and installed into an overlay root)"
  command -v unshare >/dev/null || skip "needs unshare (util-linux)"
  unshare --mount --pid --fork true 2>/dev/null || skip "cannot make a mount and PID namespace here"

  "$src/scripts/build-debs.sh" amd64 || fail "the amd64 packages do not build"
  debs=$src/build/debs/amd64
  bash "$here/check_debs.sh" "$debs" amd64 || fail "the amd64 packages' contents"

  # The namespace's scratch space is a tmpfs mounted on a directory of the build tree: /tmp stays
  # as it is, so a checkout under /tmp (or anywhere else) stays visible inside.
  scratch=$src/build/packages-install
  mkdir -p "$scratch"
  # --kill-child: a test killed by its time-out takes the whole namespace with it.
  exec unshare --mount --pid --fork --kill-child --mount-proc bash "$0" --inside "$src" "$debs" "$scratch"
fi

# ---- inside the namespace: PID 1 of it, with mounts of its own ----
src=$2
debs=$3
t=$4
# Everything below lives on this tmpfs, which (like every mount and process made here) ends with
# the namespace: nothing is left to clean up on the machine, whatever ends the test.
mount -t tmpfs tmpfs "$t"
mkdir -p "$t/upper" "$t/work" "$t/root" "$t/broker"
mount -t overlay overlay -o "lowerdir=/,upperdir=$t/upper,workdir=$t/work" "$t/root" ||
  skip "overlayfs over / is not available here"
root=$t/root
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/run"
mount -t tmpfs tmpfs "$root/tmp"
# Files that containers bind-mount over the root file system are not in the overlay's lower layer.
cp /etc/hosts "$root/etc/hosts"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

step() { echo "--- [${SECONDS} s] $*"; }
# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || fail "after ${seconds} s: $what"
    sleep 0.2
  done
}
status_of() { in_root sv status "$1" 2>&1 || true; }
pid_of() { status_of "$1" | sed -n 's/^run: [^:]*: (pid \([0-9]*\)).*/\1/p'; }
runs() { [[ $(status_of "$1") == run:* ]]; }
runs_other_than() { local p; p=$(pid_of "$1"); [ -n "$p" ] && [ "$p" != "$2" ]; }
is_down() { [[ $(status_of "$1") == down:* ]]; }
log_has() { grep -q -E -e "$2" "$root/var/log/runit/$1/current" 2>/dev/null; }
show_logs() {
  for s in vek-command keysmith; do
    echo "--- log of $s:"
    cat "$root/var/log/runit/$s/current" 2>/dev/null || echo "(none)"
  done
}
trap 'rc=$?; [ $rc -eq 0 ] || [ $rc -eq 77 ] || show_logs' EXIT

command -v runsvdir >/dev/null || fail "runit is not installed (scripts/build-debs.sh installs it)"
# Rebuilding the manual page index on every dpkg run would take most of the test's time.
rm -f "$root/var/lib/man-db/auto-update"
# The root supervises only the services under test.
find "$root/etc/runit/runsvdir/default" -mindepth 1 -maxdepth 1 -exec rm -f {} +

step "installing with dpkg"
mkdir "$root/tmp/debs"
cp "$debs"/*.deb "$root/tmp/debs/"
in_root sh -c 'dpkg -i /tmp/debs/*.deb' > "$t/dpkg.log" 2>&1 || { cat "$t/dpkg.log"; fail "dpkg -i"; }
for p in libtavlo1 libtavlo-dev vek-command keysmith libtavlo1-dbgsym vek-command-dbgsym keysmith-dbgsym; do
  [ "$(in_root dpkg-query -W -f '${db:Status-Abbrev}' "$p")" = "ii " ] || fail "$p is not installed"
done
for c in vek-command:/etc/vek/vek-command.conf keysmith:/etc/vek/keysmith.conf; do
  in_root dpkg-query -W -f '${Conffiles}\n' "${c%%:*}" | grep -q "^ ${c#*:} [0-9a-f]\{32\}$" ||
    fail "${c#*:} is not a registered conffile of ${c%%:*}"
done
for s in vek-command keysmith; do
  [ "$(in_root readlink -f "/etc/service/$s")" = "/etc/sv/$s" ] || fail "service $s is not enabled in /etc/service"
done
for b in vek-command keysmith vek-request; do
  libs=$(in_root ldd "/usr/bin/$b")
  ! grep -q 'not found' <<<"$libs" || fail "$b: $(grep 'not found' <<<"$libs")"
done
grep -q 'libtavlo.so.1 => /lib/x86_64-linux-gnu/libtavlo.so.1\|libtavlo.so.1 => /usr/lib/x86_64-linux-gnu/libtavlo.so.1' \
  <<<"$(in_root ldd /usr/bin/vek-command)" || fail "vek-command does not load the installed libtavlo.so.1"

step "building a program against libtavlo-dev"
cp -r "$src/examples/tavlo_consumer" "$root/tmp/"
in_root sh -c 'c++ -std=c++17 -Wall -Wextra -Werror /tmp/tavlo_consumer/tavlo_consumer.cpp $(pkg-config --cflags --libs tavlo) -o /tmp/tavlo_consumer/pc' ||
  fail "a program does not build against the installed libtavlo-dev through pkg-config"
in_root sh -c 'cmake -S /tmp/tavlo_consumer -B /tmp/tavlo_consumer/build && cmake --build /tmp/tavlo_consumer/build' \
  > "$t/consumer.log" 2>&1 || { cat "$t/consumer.log"; fail "a program does not build against the installed libtavlo-dev through find_package"; }
grep -q '^tavlo_DIR:PATH=/usr/lib/x86_64-linux-gnu/cmake/tavlo$' "$root/tmp/tavlo_consumer/build/CMakeCache.txt" ||
  fail "find_package(tavlo) does not find the installed libtavlo-dev"
for consumer in /tmp/tavlo_consumer/pc /tmp/tavlo_consumer/build/tavlo_consumer; do
  [ "$(in_root "$consumer" in/key/+/request in/key/00A1B2C3/request)" = "1: 00A1B2C3" ] ||
    fail "$consumer, built against the installed library, answers wrongly"
done

step "broker and configuration"
# shellcheck source=../../scripts/loopback-broker.sh
source "$src/scripts/loopback-broker.sh"
port=$((20000 + RANDOM % 30000))
while port_in_use "$port"; do port=$((20000 + RANDOM % 30000)); done
start_loopback_broker "$port" "$t/broker" || fail "no test broker"
# The installed files as an administrator changes them: the broker port, one job script.
sed -i "s/^server_comms.port=.*/server_comms.port=$port/" "$root/etc/vek/vek-command.conf"
sed -i "s/^vek.broker.port=.*/vek.broker.port=$port/" "$root/etc/vek/keysmith.conf"
cp "$root/usr/share/doc/vek-command/examples/job_scripts/echo.lua" "$root/var/lib/vek-command/job_scripts/"
# A stand-in for the board's link service, which the key update daemon stops and starts.
mkdir -p "$root/etc/sv/moxlink"
printf '#!/bin/sh\nexec sleep 100000\n' > "$root/etc/sv/moxlink/run"
chmod 755 "$root/etc/sv/moxlink/run"
ln -s /etc/sv/moxlink "$root/etc/runit/runsvdir/default/moxlink"

step "runit"
# A bare environment, as an init's: the services set up what they need themselves.
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin runsvdir -P /etc/service &
for s in vek-command keysmith moxlink; do
  wait_for 30 "service $s runs: $(status_of $s)" runs "$s"
done

step "a job through the installed service"
answer=""
ask() { answer=$(in_root vek-request -p "$port" -t 2 echo '{"msg":"installed"}' 2>&1); [ "$answer" = '{msg = "installed"}' ]; }
wait_for 60 "vek-command answers the job (last answer: $answer)" ask
log_has vek-command '^[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9:.]+ INFO  \[server_comms\] Server comms config' ||
  fail "the service's log has no stamped configuration record"
log_has vek-command "host : localhost port: $port" || fail "the service did not read its installed configuration"

step "runit restarts a killed service"
pid=$(pid_of vek-command)
kill -KILL "$pid"
wait_for 60 "vek-command restarted after kill -KILL $pid: $(status_of vek-command)" runs_other_than vek-command "$pid"
wait_for 60 "the restarted vek-command answers (last answer: $answer)" ask
log_has vek-command "vek-command ended with status -1 \(signal 9\)" || fail "finish did not report the killed service"

step "the key update daemon controls the link service from its own environment"
wait_for 30 "keysmith logs its banner" log_has keysmith 'Started MOX Key Update Daemon 0\.0\.10'
pid=$(pid_of keysmith)
mapfile -d '' daemon_env < "/proc/$pid/environ"
as_daemon() { chroot "$root" /usr/bin/env -i "${daemon_env[@]}" /bin/sh -c "cd /etc/sv/keysmith && $1"; }
as_daemon "sv stop moxlink" > "$t/sv.log" 2>&1 || { cat "$t/sv.log"; fail "'sv stop moxlink' fails in the daemon's environment"; }
wait_for 10 "moxlink is down" is_down moxlink
as_daemon "sv start moxlink" > "$t/sv.log" 2>&1 || { cat "$t/sv.log"; fail "'sv start moxlink' fails in the daemon's environment"; }
wait_for 10 "moxlink runs again" runs moxlink

step "a daemon killed while the link service is stopped gives it back"
as_daemon "sv stop moxlink" >/dev/null 2>&1
wait_for 10 "moxlink is down" is_down moxlink
kill -KILL "$pid"
wait_for 30 "moxlink started again by keysmith's finish: $(status_of moxlink)" runs moxlink
wait_for 60 "keysmith restarted: $(status_of keysmith)" runs_other_than keysmith "$pid"

step "reinstalling keeps the changed configuration"
in_root dpkg -i "/tmp/debs/$(basename "$debs"/vek-command_*_amd64.deb)" > "$t/dpkg.log" 2>&1 ||
  { cat "$t/dpkg.log"; fail "dpkg -i again"; }
grep -q -x "server_comms.port=$port" "$root/etc/vek/vek-command.conf" || fail "reinstalling replaced the changed configuration"

# ---- the board's broker as the packages set it up: logins, topics per account, least privilege ----
step "the installed broker configuration: logins and each account's topics"
cred=/etc/vek/credentials
for f in vek-command:vek-command operator:vek-operator keysmith:keysmith; do
  [ "$(in_root stat -c '%U:%G %a' "$cred/${f%%:*}.password")" = "root:${f#*:} 640" ] ||
    fail "$cred/${f%%:*}.password: $(in_root stat -c '%U:%G %a' "$cred/${f%%:*}.password")"
  ! in_root chpst -u nobody cat "$cred/${f%%:*}.password" >/dev/null 2>&1 || fail "nobody reads $cred/${f%%:*}.password"
done
for a in vek-command operator keysmith; do
  grep -q "^$a:\\\$7\\\$" "$root/etc/mosquitto/vek-dock.passwd" || fail "the broker's password file has no entry for $a"
done
# The installed broker configuration, on a free port instead of 1883; mosquitto switches to its
# own user as on the board, so this also shows that it can read its files.
bport=$((20000 + RANDOM % 30000))
while port_in_use "$bport" || [ "$bport" = "$port" ]; do bport=$((20000 + RANDOM % 30000)); done
{
  sed "s/^listener 1883 /listener $bport /" "$root/etc/mosquitto/conf.d/vek-dock.conf"
  echo "log_dest file /tmp/dock-broker.log"
  echo "log_type all"
} > "$root/tmp/dock-broker.conf"
chroot "$root" /usr/sbin/mosquitto -c /tmp/dock-broker.conf > "$t/dock-broker.out" 2>&1 &
dock_broker=$!
broker_up() { port_in_use "$bport"; }
wait_for 10 "the installed broker configuration listens ($(cat "$t/dock-broker.out"))" broker_up
sed -i "s/^server_comms.port=.*/server_comms.port=$bport/" "$root/etc/vek/vek-command.conf"
sed -i "s/^vek.broker.port=.*/vek.broker.port=$bport/" "$root/etc/vek/keysmith.conf"
in_root sv restart vek-command keysmith >/dev/null 2>&1 || true
broker_log_has() { grep -q -e "$1" "$root/tmp/dock-broker.log"; }
wait_for 30 "vek-command logs in" broker_log_has "as command_service (.*u'vek-command')"
wait_for 30 "keysmith logs in" broker_log_has "as Vondra (.*u'keysmith')"

cp "$here/mqtt_probe.c" "$root/tmp/"
in_root cc -o /tmp/mqtt_probe /tmp/mqtt_probe.c -lmosquitto || fail "the MQTT probe does not build"
probe() { in_root /tmp/mqtt_probe "$bport" "$@"; }
rc=0; probe - - pub in/cmd/x '' || rc=$?
[ $rc = 3 ] || fail "a client without a login was not refused (probe status $rc)"
# The command service's own view of in/cmd: the key update daemon's request does not reach it,
# the operator's (sent after it) does.
probe vek-command "$cred/vek-command.password" sub 'in/cmd/#' in/cmd/from-operator 30 > "$t/sub.out" &
sub=$!
sub_ready() { grep -q subscribed "$t/sub.out"; }
wait_for 10 "the probe subscribes" sub_ready
probe keysmith "$cred/keysmith.password" pub in/cmd/x '' || fail "the broker refused keysmith's login"
probe operator "$cred/operator.password" pub in/cmd/from-operator '' || fail "the broker refused the operator's login"
wait "$sub" || fail "the operator's request did not arrive: $(cat "$t/sub.out")"
! grep -q '^in/cmd/x$' "$t/sub.out" || fail "keysmith's account published a command request"

step "vek-command runs as its own user and its jobs cannot change the job scripts"
uid=$(awk '/^Uid:/ { print $2 }' "/proc/$(pid_of vek-command)/status")
[ "$uid" = "$(in_root id -u vek-command)" ] || fail "vek-command runs as uid $uid"
cat > "$root/var/lib/vek-command/job_scripts/write_probe.lua" <<'LUA'
local f = io.open("/var/lib/vek-command/job_scripts/written.lua", "w")
if f then f:close() return "wrote the job scripts" end
local g = io.open(vekenv.staging_dir .. "/probe", "w")
if not g then return "cannot write the staging directory" end
g:close()
return "staging only"
LUA
as_operator() { in_root chpst -u nobody:vek-operator vek-request -p "$bport" -u operator --password-file "$cred/operator.password" -t 2 "$@" 2>&1; }
ask_op() { answer=$(as_operator write_probe); [ "$answer" = "staging only" ]; }
wait_for 60 "the operator's job runs (last answer: $answer)" ask_op
[ ! -e "$root/var/lib/vek-command/job_scripts/written.lua" ] || fail "a job wrote into the job-script directory"
uid=$(awk '/^Uid:/ { print $2 }' "/proc/$(pid_of keysmith)/status")
[ "$uid" = "$(in_root id -u keysmith)" ] || fail "keysmith runs as uid $uid"
in_root chpst -u keysmith sv stop moxlink > "$t/sv.log" 2>&1 || { cat "$t/sv.log"; fail "the keysmith account cannot stop the link service"; }
wait_for 10 "moxlink is down" is_down moxlink
in_root chpst -u keysmith sv start moxlink > "$t/sv.log" 2>&1 || { cat "$t/sv.log"; fail "the keysmith account cannot start the link service"; }
wait_for 10 "moxlink runs again" runs moxlink
kill "$dock_broker"
wait "$dock_broker" || true

step "runit stops the services cleanly"
pkill -HUP -x runsvdir
supervised() { for n in runsv vek-command keysmith svlogd; do pgrep -a -x "$n"; done; }
gone() { [ -z "$(supervised)" ]; }
wait_for 30 "every supervised process ended: $(supervised | tr '\n' ' ')" gone
log_has vek-command 'Closing server comms service' || fail "vek-command did not stop cleanly"
log_has keysmith 'INFO  \[main\] DONE' || fail "keysmith did not stop cleanly"

step "purging"
in_root dpkg --purge keysmith-dbgsym vek-command-dbgsym libtavlo1-dbgsym keysmith vek-command libtavlo-dev libtavlo1 \
  > "$t/dpkg.log" 2>&1 || { cat "$t/dpkg.log"; fail "dpkg --purge"; }
for f in /etc/sv/keysmith /etc/sv/vek-command /etc/service/keysmith /etc/service/vek-command \
  /etc/vek/keysmith.conf /etc/vek/vek-command.conf /usr/bin/keysmith /var/log/runit/keysmith; do
  ! in_root test -e "$f" -o -L "$f" || fail "$f is left after purging"
done

! in_root test -e /etc/vek/credentials || fail "/etc/vek/credentials is left after purging"
! grep -q -E '^(vek-command|operator|keysmith):' "$root/etc/mosquitto/vek-dock.passwd" 2>/dev/null ||
  fail "the broker's password file keeps the packages' accounts after purging"

echo "installation test passed"
