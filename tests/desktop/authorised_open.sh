#!/usr/bin/env bash
# Opens a loop device as an unprivileged user (nobody) through udisks2 and
# through the pkexec open helper, against a private system bus, polkitd,
# systemd-udevd and udisksd started here. Everything runs in a private mount
# namespace: the test polkit rule, the helper's action and the bus socket at
# /run/dbus are bind mounts the machine never sees. Every daemon is stopped by
# its PID and the loop device detached, also when a step fails.
#   authorised_open.sh PROBE CLI HELPER POLICY_TEMPLATE
# Exit 77 (skipped) with a message where root, loop devices or the daemons are missing.
set -euo pipefail

probe=$1 cli=$2 helper=$3 policy_template=$4
skip() { echo "SKIPPED: $*"; exit 77; }

if [ -z "${QV_PRIVATE_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "needs root: it starts system daemons and attaches a loop device"
  for tool in dbus-daemon dbus-send udisksctl losetup setpriv unshare udevadm mkfs.fat mcopy mdel python3; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
  done
  for daemon in /usr/lib/polkit-1/polkitd /lib/systemd/systemd-udevd /usr/libexec/udisks2/udisksd /usr/bin/pkexec; do
    [ -x "$daemon" ] || skip "$daemon is not installed (packages: polkitd udev udisks2 pkexec)"
  done
  [ -d /etc/polkit-1/rules.d ] || skip "/etc/polkit-1/rules.d is missing (polkitd not installed?)"
  [ -e /dev/loop-control ] || skip "no loop devices on this machine"
  unshare -m true 2>/dev/null || skip "cannot make a private mount namespace (unshare -m)"
  export QV_PRIVATE_NAMESPACE=1
  exec unshare -m --propagation private bash "$0" "$@"
fi

work=$(mktemp -d /tmp/quorvane-auth.XXXXXX)
chmod 755 "$work"
pids=()
loop=""
cleanup() {
  local rc=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ -n "$loop" ]; then
    umount "$work/mnt" 2>/dev/null || true
    losetup -d "$loop" || true
  fi
  if [ $rc -ne 0 ] && [ $rc -ne 77 ]; then
    for log in "$work"/*.log; do [ -f "$log" ] && { echo "--- $log"; tail -20 "$log"; }; done
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

start() {  # start NAME COMMAND...: runs it in the background, records its PID
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
  eval "${name}_pid=$!"
}
stop() {  # stop NAME
  local var="${1}_pid"
  kill "${!var}" 2>/dev/null || true
  wait "${!var}" 2>/dev/null || true
}
bus_has() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q "boolean true"
}
wait_for() {  # wait_for WHAT COMMAND...: up to 20 s
  for _ in $(seq 200); do "${@:2}" && return 0; sleep 0.1; done
  echo "$1 did not come up"; return 1
}

# --- private mounts: nothing of this reaches the machine's /etc, /usr or /run
mount -t tmpfs -o mode=755 quorvane-rules /etc/polkit-1/rules.d
mkdir "$work/actions"
cp /usr/share/polkit-1/actions/*.policy "$work/actions/" 2>/dev/null || true
sed "s#@QUORVANE_OPEN_HELPER_PATH@#$helper#" "$policy_template" >"$work/actions/org.quorvane.open-device.policy"
mount --bind "$work/actions" /usr/share/polkit-1/actions
# Both folders are where the daemons would make them; empty ones are left behind
# where they were missing, everything in them stays in this namespace.
for dir in /run/dbus /run/udev; do
  mkdir -p "$dir"
  mount -t tmpfs -o mode=755 quorvane-run "$dir"
done

# --- the system bus: the packaged configuration with its own socket
sed -e '/<user>/d' -e '/<fork\/>/d' -e '/<pidfile>/d' -e '/<syslog\/>/d' -e '/<servicehelper>/d' \
    -e '/<standard_system_servicedirs\/>/d' \
    -e "s#<listen>.*</listen>#<listen>unix:path=$work/bus</listen>#" \
    -e 's#<includedir>system.d</includedir>#<includedir>/usr/share/dbus-1/system.d</includedir>#' \
    /usr/share/dbus-1/system.conf >"$work/bus.conf"
start bus dbus-daemon --config-file="$work/bus.conf" --nofork
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
wait_for "the system bus" test -S "$work/bus" || skip "dbus-daemon cannot start here"
# pkexec is setuid and takes the bus only from its standard place.
touch /run/dbus/system_bus_socket
mount --bind "$work/bus" /run/dbus/system_bus_socket

start polkit /usr/lib/polkit-1/polkitd --no-debug
wait_for polkitd bus_has org.freedesktop.PolicyKit1 || skip "polkitd cannot start here"
start udev /lib/systemd/systemd-udevd
wait_for systemd-udevd test -S /run/udev/control || skip "systemd-udevd cannot start here"

# --- the image: FAT16 with a deleted file the scan must find
image="$work/card.img"
rm -f "$image"
mkfs.fat -C -F 16 -n QVAUTH "$image" 16384 >/dev/null
printf 'kept by polkit\n' >"$work/kept.txt"
printf 'found through udisks\n' >"$work/lost.txt"
mcopy -i "$image" "$work/kept.txt" ::KEPT.TXT
mcopy -i "$image" "$work/lost.txt" ::LOST.TXT
mdel -i "$image" ::LOST.TXT
chmod 644 "$image"
loop=$(losetup -f --show "$image") || skip "cannot attach a loop device"
udevadm trigger --action=add --settle "$loop" || skip "udev cannot be triggered for $loop (read-only /sys?)"
devno=$(stat -c '%t:%T' "$loop")
[ -e "/run/udev/data/b$((16#${devno%:*})):$((16#${devno#*:}))" ] || skip "udev did not record $loop"
size=$(stat -c %s "$image")

start udisks /usr/libexec/udisks2/udisksd
wait_for udisksd bus_has org.freedesktop.UDisks2 || skip "udisksd cannot start here"
resolves() { udisksctl info -b "$loop" 2>/dev/null | grep -q "org.freedesktop.UDisks2.Block:"; }
wait_for "udisks2's object for $loop" resolves

as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups env QV_DEVICE="$loop" QV_IMAGE="$image" \
    QV_SIZE="$size" QUORVANE_OPEN_HELPER="${helper_seen:-$helper}" QUORVANE_IMAGES_ONLY= "$@"
}
phase() { echo; echo "== $*"; }
allow_nobody() {
  cat >/etc/polkit-1/rules.d/50-quorvane-test.rules <<'RULE'
polkit.addRule(function(action, subject) {
    if (subject.user == "nobody" &&
        (action.id.indexOf("org.freedesktop.udisks2.open-device") == 0 ||
         action.id == "org.quorvane.open-device"))
        return polkit.Result.YES;
});
RULE
  chmod 644 /etc/polkit-1/rules.d/50-quorvane-test.rules
}
restart_polkit() {
  stop polkit
  start polkit /usr/lib/polkit-1/polkitd --no-debug
  wait_for polkitd bus_has org.freedesktop.PolicyKit1
}
expect_cli() {  # expect_cli CODE TEXT ARGS...: runs the CLI as nobody
  local want=$1 text=$2; shift 2
  local rc=0
  as_nobody "$cli" "$@" >"$work/cli.out" 2>&1 </dev/null || rc=$?
  cat "$work/cli.out"
  [ "$rc" = "$want" ] || { echo "FAIL: quorvane-cli $* exited $rc, not $want"; exit 1; }
  grep -q -- "$text" "$work/cli.out" || { echo "FAIL: quorvane-cli $* did not say: $text"; exit 1; }
}

phase "udisks2, polkit says no"
as_nobody env QV_ROUTE=udisks QV_EXPECT=refused "$probe" --gtest_brief=1
expect_cli 2 "NotAuthorizedCanObtain" scan "$loop"

phase "udisks2, polkit says yes"
allow_nobody
restart_polkit
as_nobody env QV_ROUTE=udisks QV_EXPECT=granted "$probe" --gtest_brief=1
expect_cli 0 "OST.TXT" scan "$loop"
expect_cli 0 "password needed" list

# In use: another process holds the device exclusively, as a mount does.
hold() {
  start holder python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL)
open(sys.argv[2], "w").close()
time.sleep(600)' "$loop" "$work/held"
  wait_for "the exclusive hold on $loop" test -e "$work/held"
}
release() { stop holder; rm -f "$work/held"; }

phase "udisks2, the device is in use"
hold
as_nobody env QV_ROUTE=udisks QV_EXPECT=granted QV_IN_USE=1 "$probe" --gtest_brief=1
expect_cli 0 "in use" scan "$loop"
release

phase "pkexec helper (udisks2 stopped), polkit says yes"
stop udisks
! bus_has org.freedesktop.UDisks2 || { echo "FAIL: udisksd still on the bus"; exit 1; }
as_nobody env QV_ROUTE=helper QV_EXPECT=granted "$probe" --gtest_brief=1
expect_cli 0 "OST.TXT" scan "$loop"
hold
as_nobody env QV_ROUTE=helper QV_EXPECT=granted QV_IN_USE=1 "$probe" --gtest_brief=1
release

phase "pkexec helper, polkit says no"
rm /etc/polkit-1/rules.d/50-quorvane-test.rules
restart_polkit
as_nobody env QV_ROUTE=helper QV_EXPECT=refused "$probe" --gtest_brief=1
expect_cli 2 "not authorised" scan "$loop"

phase "no route: neither udisks2 nor pkexec with the helper"
helper_seen=/nonexistent expect_cli 2 "install udisks2" scan "$loop"

echo; echo "both routes: all checks passed"
