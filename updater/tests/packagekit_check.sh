#!/usr/bin/env bash
# The updater's installer against a real PackageKit: Debian's packagekitd with its apt backend,
# in a throwaway root — an overlay of / on a tmpfs, in mount and PID namespaces of this check's
# own — with a system bus and polkitd of its own, so the machine's own system never changes.
# A polkit rule lets one user install and refuses another; each runs the installer
# (updater_packagekit_install) on a small test package. A monitor on the bus records the calls
# and signals, and the check holds them to what the installer and the stand-in PackageKit of the
# tests expect: InstallFiles(tas) with the verified private copy, Finished last, ErrorCode before
# a failed Finished, the package installed, the copy gone.
#
# Usage: packagekit_check.sh <updater_packagekit_install>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
library=$here/../../tests/desktop_check.bash
[[ -f $library ]] || library=$here/desktop_check.bash # in the throwaway root
# shellcheck source=tests/desktop_check.bash
source "$library"
check_log_name=monitor.log check_log_title="the system bus as the monitor saw it"

allowed=ambrevoli-pk-allowed
refused=ambrevoli-pk-refused

# Starts the program that follows in the background, ended with this stage.
start() {
  "$@" &
  check_end_at_exit $!
}

# Succeeds when the name $1 has an owner on the system bus.
owned() {
  [[ $(busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    NameHasOwner s "$1" 2>/dev/null) == "b true" ]]
}

# The members of the messages on the transaction's path in $monitor, in order, one a line.
transaction_members() {
  awk -v path="path=$1;" '$0 ~ /^(signal|method call)/ && index($0, path) {
      sub(/.*member=/, ""); print }' "$2"
}

case ${1-} in
--inside)
  # In the private namespaces: build the throwaway root and run the installations in it.
  work=$2
  check_overlay_root "$work/layers"
  mount -t tmpfs -o mode=755 ambrevoli-run "$root/run"
  mkdir "$root/tmp/check"
  cp "$work/package.deb" "$work/installer" "$0" "$library" "$root/tmp/check/"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
    /bin/bash "/tmp/check/$(basename "$0")" --root /tmp/check
  ;;
--root)
  # In the throwaway root, as root; $work is the check's folder in it.
  work=$2
  chmod 755 "$work"
  chmod 644 "$work/package.deb"

  mkdir -p /run/dbus
  start dbus-daemon --system --nofork --nopidfile
  check_wait_until 10 test -S /run/dbus/system_bus_socket || fail "the system bus did not start"
  start dbus-monitor --system >"$work/monitor.log" 2>&1
  useradd --no-create-home --shell /usr/sbin/nologin "$allowed"
  useradd --no-create-home --shell /usr/sbin/nologin "$refused"
  cat >/etc/polkit-1/rules.d/10-ambrevoli-check.rules <<JS
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.packagekit.") != 0) return;
    if (subject.user == "$allowed") return polkit.Result.YES;
    if (subject.user == "$refused") return polkit.Result.NO;
});
JS
  polkitd=$(command -v polkitd || echo /usr/lib/polkit-1/polkitd)
  start "$polkitd" --no-debug >"$work/polkitd.log" 2>&1
  start /usr/libexec/packagekitd >"$work/packagekitd.log" 2>&1
  check_wait_until 30 owned org.freedesktop.PackageKit ||
    fail "packagekitd did not take its name: $(cat "$work/packagekitd.log")"
  check_wait_until 10 owned org.freedesktop.PolicyKit1 ||
    fail "polkitd did not take its name: $(cat "$work/polkitd.log")"

  as() {
    local user=$1
    shift
    (cd / && setpriv --reuid "$user" --regid "$user" --clear-groups \
      env -u XDG_RUNTIME_DIR HOME=/nonexistent "$@")
  }

  # The user polkit lets install.
  out=$(as "$allowed" "$work/installer" "$work/package.deb" 2>"$work/installer.log") ||
    fail "the installation failed: $(tail -n1 <<<"$out")"$'\n'"$(cat "$work/installer.log")"
  [[ $(tail -n1 <<<"$out") == installed ]] || fail "the installer said: $out"
  status=$(dpkg-query -W -f='${Status} ${Version}' ambrevoli 2>/dev/null || true)
  [[ $status == "install ok installed 1.2.0" ]] || fail "dpkg says: $status"
  grep -qx 'progress 100' <<<"$out" || fail "no progress reached 100: $out"

  # What the installer handed over: the verified copy, a .deb in a folder of its own, since gone.
  monitor=$work/monitor.log
  given=$(awk '/member=InstallFiles/ {call = 1; next}
               call && /^   uint64 / {flags = $2; next}
               call && /^      string / {print flags " " $2; exit}' "$monitor" | tr -d '"')
  [[ $given =~ ^0\ /tmp/ambrevoli-install-[^/]+/update\.deb$ ]] ||
    fail "InstallFiles was not called with (uint64 0, [the copy]): '$given'"
  [[ ! -e ${given#0 } && -z $(find /tmp -maxdepth 1 -name 'ambrevoli-install-*') ]] ||
    fail "the copy ${given#0 } is left behind"
  transaction=$(awk '/member=InstallFiles/ {sub(/.*path=/, ""); sub(/;.*/, ""); print; exit}' "$monitor")
  members=$(transaction_members "$transaction" "$monitor" | uniq)
  [[ $(head -n2 <<<"$members" | paste -sd' ') == "SetHints InstallFiles" ]] ||
    fail "the transaction did not begin with SetHints, InstallFiles: $members"
  # Destroy follows some seconds later, when the daemon lets the transaction go.
  [[ $(grep -cx Finished <<<"$members") == 1 ]] &&
    ! sed '1,/^Finished$/d' <<<"$members" | grep -qvx 'Destroy\|PropertiesChanged' ||
    fail "Finished was not the transaction's last word: $members"
  if grep -qx ErrorCode <<<"$members"; then fail "the successful transaction sent ErrorCode"; fi
  echo "installed: $(paste -sd' ' <<<"$members")"

  # The user polkit refuses. The daemon says the same when polkit wants a password and no agent
  # is there to ask for it.
  lines_before=$(wc -l <"$monitor")
  out=$(as "$refused" "$work/installer" "$work/package.deb" 2>>"$work/installer.log") &&
    fail "the refused user's installation succeeded: $out"
  [[ $(tail -n1 <<<"$out") == 'error installFailed(Failed to obtain authentication.)' ]] ||
    fail "the refused installation ended as: $out"
  tail -n +"$((lines_before + 1))" "$monitor" >"$work/refused.log"
  transaction=$(awk '/member=InstallFiles/ {sub(/.*path=/, ""); sub(/;.*/, ""); print; exit}' "$work/refused.log")
  members=$(transaction_members "$transaction" "$work/refused.log" | grep -vx PropertiesChanged | paste -sd' ')
  [[ $members == *"ErrorCode Finished" ]] || fail "the refusal was not ErrorCode, then Finished: $members"
  grep -A1 'member=ErrorCode' "$work/refused.log" | grep -q 'uint32 48' ||
    fail "the refusal's ErrorCode was not 48 (not-authorized)"
  grep -A1 'member=Finished' "$work/refused.log" | grep -q 'uint32 2' ||
    fail "the refusal's Finished was not 2 (failed)"
  [[ -z $(find /tmp -maxdepth 1 -name 'ambrevoli-install-*') ]] || fail "the refused copy is left behind"
  echo "refused: $members"
  exit 0
  ;;
esac

installer=${1:?usage: packagekit_check.sh <updater_packagekit_install>}
check_root "make a throwaway root with its own system bus, polkitd and packagekitd"
check_tools unshare chroot setpriv dpkg-deb dbus-daemon dbus-monitor busctl useradd
[[ -x /usr/libexec/packagekitd ]] || skip "packagekitd is not installed (scripts/install-deps installs it)"
compgen -G '/usr/lib/*/packagekit-backend/libpk_backend_apt.so' >/dev/null ||
  skip "PackageKit's apt backend is not installed (scripts/install-deps installs it)"
command -v polkitd >/dev/null || [[ -x /usr/lib/polkit-1/polkitd ]] ||
  skip "polkitd is not installed (scripts/install-deps installs it)"
check_uninstrumented "$installer" \
  "this build is instrumented with AddressSanitizer; the real PackageKit is checked in the default build"
check_namespaces
check_make_work packagekit
cp "$installer" "$work/installer"
mkdir -p "$work/package/DEBIAN" "$work/package/usr/share/doc/ambrevoli"
cat >"$work/package/DEBIAN/control" <<CONTROL
Package: ambrevoli
Version: 1.2.0
Architecture: $(dpkg --print-architecture)
Maintainer: Tests <tests@ambrevoli.example>
Description: a package for the check in a real PackageKit
CONTROL
echo "installed by the check in a real PackageKit" >"$work/package/usr/share/doc/ambrevoli/README"
dpkg-deb --root-owner-group -Zgzip --build "$work/package" "$work/package.deb" >/dev/null
check_rerun_in_namespaces --inside "$work"
