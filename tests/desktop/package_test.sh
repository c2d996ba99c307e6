#!/usr/bin/env bash
# Checks a built quorvane_*.deb: its control fields, its file list after
# dpkg -x into a throw-away root, the desktop entry and metainfo against their
# validators, the manual pages against the program's --help, and that the
# unpacked quorvane-cli finds its data files and runs its demo.
#   package_test.sh QUORVANE.DEB
set -euo pipefail
deb=$1
skip() { echo "SKIPPED: $*"; exit 77; }
for tool in dpkg-deb desktop-file-validate appstreamcli file; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done
fail() { echo "FAIL: $*"; exit 1; }

root=$(mktemp -d /tmp/quorvane-deb.XXXXXX)
trap 'rm -rf "$root"' EXIT

info=$(dpkg-deb -I "$deb")
printf '%s\n' "$info" | sed -n '/Package:/,$p'
field() { sed -n "s/^ $1: //p" <<<"$info"; }
[ "$(field Package)" = quorvane ] || fail "package name is not quorvane"
depends=$(field Depends)
for lib in libqt6core6 libqt6widgets6 libqt6dbus6 libblkid1 libmount1 libc6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib (shlibdeps): $depends"
done
recommends=$(field Recommends)
for pkg in udisks2 pkexec; do
  [[ "$recommends" == *"$pkg"* ]] || fail "Recommends lacks $pkg: $recommends"
done

dpkg-deb -x "$deb" "$root"
expected=(
  usr/bin/quorvane
  usr/bin/quorvane-cli
  usr/libexec/quorvane/quorvane-open-helper
  usr/share/quorvane/language.ini
  usr/share/quorvane/Quorvane.conf
  usr/share/quorvane/docs/manual.html
  usr/share/applications/org.quorvane.Quorvane.desktop
  usr/share/metainfo/org.quorvane.Quorvane.metainfo.xml
  usr/share/icons/hicolor/48x48/apps/quorvane.png
  usr/share/icons/hicolor/128x128/apps/quorvane.png
  usr/share/icons/hicolor/256x256/apps/quorvane.png
  usr/share/icons/hicolor/scalable/apps/quorvane.svg
  usr/share/man/man1/quorvane.1.gz
  usr/share/man/man1/quorvane-cli.1.gz
  usr/share/polkit-1/actions/org.quorvane.open-device.policy
)
for f in "${expected[@]}"; do [ -f "$root/$f" ] || fail "$f is not in the package"; done
for f in usr/bin/quorvane usr/bin/quorvane-cli usr/libexec/quorvane/quorvane-open-helper; do
  [ -x "$root/$f" ] || fail "$f is not executable"
done
stray=$(cd "$root" && find . -type f | sed 's#^\./##' | grep -v -E '^usr/(bin|libexec/quorvane|share/(quorvane|applications|metainfo|icons/hicolor|man/man1|polkit-1/actions))/' || true)
[ -z "$stray" ] || fail "files outside the install layout: $stray"
for size in 48 128 256; do
  file "$root/usr/share/icons/hicolor/${size}x${size}/apps/quorvane.png" | grep -q "$size x $size" ||
    fail "the ${size} px icon is not ${size}x${size}"
done
grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/quorvane.svg" || fail "the scalable icon is not SVG"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/libexec/quorvane/quorvane-open-helper</annotate>' \
  "$root/usr/share/polkit-1/actions/org.quorvane.open-device.policy" || fail "the polkit action names another helper"
grep -q '<allow_active>auth_admin_keep</allow_active>' \
  "$root/usr/share/polkit-1/actions/org.quorvane.open-device.policy" || fail "the polkit action is not auth_admin_keep"

desktop-file-validate "$root/usr/share/applications/org.quorvane.Quorvane.desktop" || fail "desktop-file-validate"
grep -q '^Categories=System;Utility;$' "$root/usr/share/applications/org.quorvane.Quorvane.desktop" ||
  fail "the menu entry is not in System and Utility"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.quorvane.Quorvane.metainfo.xml" ||
  fail "appstreamcli validate"

# The unpacked programs find their data files beside bin/, not in the build tree.
cli="$root/usr/bin/quorvane-cli"
work=$(mktemp -d "$root/run.XXXXXX")
commands=$(cd "$work" && "$cli" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 }')
[ -n "$commands" ] || fail "quorvane-cli --help lists no commands"
page=$(zcat "$root/usr/share/man/man1/quorvane-cli.1.gz")
for c in $commands; do
  grep -q "^\\.SS \"quorvane\\\\-cli $c" <<<"$page" || fail "quorvane-cli(1) lacks the command $c"
  for opt in $(cd "$work" && "$cli" "$c" --help | grep -o -E '^  --?[a-z][a-z-]*' | sed 's/-/\\\\-/g'); do
    grep -q -- "$opt" <<<"$page" || fail "quorvane-cli(1) lacks $c's option $opt"
  done
done
if [ -e /usr/share/quorvane/Quorvane.conf ]; then
  echo "note: Quorvane is installed on this machine; the data-file check cannot tell the copies apart"
fi
(cd "$work" && QUORVANE_DEBUG=1 TMPDIR="$work" "$cli" demo) >"$work/demo.out" 2>&1 || {
  cat "$work/demo.out"; fail "the unpacked quorvane-cli demo failed"; }
grep -q "identical" "$work/demo.out" || fail "the demo did not recover its files"
if grep -q "not found; using the built-in" "$work/demo.out"; then
  fail "the unpacked quorvane-cli did not find its Quorvane.conf"
fi
# The same check catches a program that is not beside its data folder.
mkdir "$work/alone"
cp "$cli" "$work/alone/"
(cd "$work/alone" && QUORVANE_DEBUG=1 TMPDIR="$work" ./quorvane-cli demo) >"$work/alone.out" 2>&1 || true
if [ ! -e /usr/share/quorvane/Quorvane.conf ]; then
  grep -q "not found; using the built-in" "$work/alone.out" || fail "a lone quorvane-cli found a Quorvane.conf"
fi
echo "package: all checks passed"
