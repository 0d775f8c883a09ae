#!/usr/bin/env bash
# The host on Wayland: `ambrevoli --settings` under a headless Weston, with Qt's Wayland platform
# and no X display to fall back to. The settings window must become a Wayland toplevel with its
# title (seen in the protocol log), show through the accessibility bus, and Qt must report no
# errors or warnings on the way.
#
# Usage: settings_wayland_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  [[ -n ${work-} && -f $work/host.log ]] && { echo "--- The host's output:"; grep -av '^\[' "$work/host.log" | cat -v; }
  exit 1
}

here=$(cd "$(dirname "$0")" && pwd)

case ${1-} in
--session)
  work=$2
  host=$3
  ;;
*)
  build=${1:?usage: settings_wayland_check.sh <build folder>}
  host=$build/Ambrevoli/ambrevoli
  if [[ -z ${AMBREVOLI_CHECK_NAMESPACE-} ]] &&
    unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    AMBREVOLI_CHECK_NAMESPACE=1 exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
  fi
  for tool in weston dbus-run-session; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
  qtplugins=$(pkg-config --variable=prefix Qt6Core 2>/dev/null)/lib/$(gcc -dumpmachine)/qt6/plugins
  ls "$qtplugins"/platforms/libqwayland-*.so >/dev/null 2>&1 ||
    skip "Qt's Wayland platform plugin is not installed (qt6-wayland; scripts/install-deps installs it)"
  /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    skip "the accessibility bindings (python3-gi, gir1.2-atspi-2.0) are not installed"
  [[ $(ldd "$host") != *libasan* ]] || skip "the host is built with AddressSanitizer"

  work=$(mktemp -d /tmp/ambrevoli-wayland-XXXXXX)
  mkdir -p "$work/home" "$work/run"
  chmod 700 "$work/run"
  XDG_RUNTIME_DIR=$work/run weston --backend=headless-backend.so --socket=ambrevoli-check \
    --idle-time=0 --no-config >"$work/weston.log" 2>&1 &
  weston=$!
  trap 'kill $weston 2>/dev/null || true; rm -rf "$work"' EXIT
  for _ in $(seq 100); do
    [[ -S $work/run/ambrevoli-check ]] && break
    kill -0 $weston 2>/dev/null || break
    sleep 0.1
  done
  [[ -S $work/run/ambrevoli-check ]] || skip "weston cannot start here: $(tail -n 5 "$work/weston.log")"
  dbus-run-session -- "$0" --session "$work" "$host"
  exit
  ;;
esac

export HOME=$work/home XDG_RUNTIME_DIR=$work/run
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
export AMBREVOLI_LOG=stderr QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
export WAYLAND_DISPLAY=ambrevoli-check QT_QPA_PLATFORM=wayland
unset DISPLAY XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID

WAYLAND_DEBUG=client "$host" --settings >"$work/host.log" 2>&1 &
running=$!
trap 'kill $running 2>/dev/null && wait $running || true' EXIT
"$here/settings_atspi.py" window "Ambrevoli Settings" || fail "the settings window did not show"
grep -aqE 'xdg_toplevel@[0-9]+\.set_title\("Ambrevoli Settings"\)' "$work/host.log" ||
  fail "the window did not become a Wayland toplevel titled Ambrevoli Settings"
kill -0 $running 2>/dev/null || fail "the host ended"
# Qt's complaints (qt.qpa.wayland: …, "Failed to …", "Could not …") against the host's own lines.
complaints=$(grep -av '^\[\|^ambrevoli\[' "$work/host.log" | grep -aiE 'warning|error|fail|could not|cannot' || true)
[[ -z $complaints ]] || fail "Qt complained on Wayland: $complaints"
echo "The settings window opened natively on Wayland."
