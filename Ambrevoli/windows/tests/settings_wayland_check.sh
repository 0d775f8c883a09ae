#!/usr/bin/env bash
# The host on Wayland: `ambrevoli --settings` under a headless Weston, with Qt's Wayland platform
# and no X display to fall back to. The settings window must become a Wayland toplevel with its
# title (seen in the protocol log), show through the accessibility bus, and Qt must report no
# errors or warnings on the way.
#
# Usage: settings_wayland_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../../tests/desktop_check.bash"
check_log_name=host.log check_log_title="The host's output"
# Without the protocol log (WAYLAND_DEBUG's lines start with "["), which would bury the rest.
check_show_log() {
  grep -av '^\[' "$1" | cat -v
}

case ${1-} in
--session)
  work=$2
  host=$3
  ;;
*)
  build=${1:?usage: settings_wayland_check.sh <build folder>}
  host=$build/Ambrevoli/ambrevoli
  check_own_pid_namespace "$@"
  check_tools weston dbus-run-session
  qtplugins=$(pkg-config --variable=prefix Qt6Core 2>/dev/null)/lib/$(gcc -dumpmachine)/qt6/plugins
  ls "$qtplugins"/platforms/libqwayland-*.so >/dev/null 2>&1 ||
    skip "Qt's Wayland platform plugin is not installed (qt6-wayland; scripts/install-deps installs it)"
  check_atspi_bindings
  check_uninstrumented "$host" "the host is built with AddressSanitizer"

  check_make_work wayland
  XDG_RUNTIME_DIR=$work/run weston --backend=headless-backend.so --socket=ambrevoli-check \
    --idle-time=0 --no-config >"$work/weston.log" 2>&1 &
  weston=$!
  check_end_at_exit $weston
  weston_done() { [[ -S $work/run/ambrevoli-check ]] || check_ended "$weston"; }
  check_wait_until 10 weston_done || true
  [[ -S $work/run/ambrevoli-check ]] || skip "weston cannot start here: $(tail -n 5 "$work/weston.log")"
  dbus-run-session -- "$0" --session "$work" "$host"
  exit
  ;;
esac

check_user_env
export AMBREVOLI_LOG=stderr QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export WAYLAND_DISPLAY=ambrevoli-check QT_QPA_PLATFORM=wayland
unset DISPLAY

WAYLAND_DEBUG=client "$host" --settings >"$work/host.log" 2>&1 &
running=$!
check_end_at_exit $running
"$here/settings_atspi.py" window "Ambrevoli Settings" || fail "the settings window did not show"
# The protocol log names an object "interface@id", and from libwayland 1.23 on "interface#id".
grep -aqE 'xdg_toplevel[@#][0-9]+\.set_title\("Ambrevoli Settings"\)' "$work/host.log" ||
  fail "the window did not become a Wayland toplevel titled Ambrevoli Settings"
kill -0 $running 2>/dev/null || fail "the host ended"
# Qt's complaints (qt.qpa.wayland: …, "Failed to …", "Could not …") against the host's own lines.
complaints=$(grep -av '^\[\|^ambrevoli\[' "$work/host.log" | grep -aiE 'warning|error|fail|could not|cannot' || true)
[[ -z $complaints ]] || fail "Qt complained on Wayland: $complaints"
echo "The settings window opened natively on Wayland."
