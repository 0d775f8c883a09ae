#!/usr/bin/env bash
# The plugin in a real Dolphin: stages `cmake --install` of a build, lays the staged plugin folder
# over Qt's plugin folder (an overlay in a mount namespace of this check's own, so the system's
# folder is untouched), runs Dolphin on Xvfb with a private session bus and two files selected,
# and drives its context menu through the accessibility bus: Send To › a destination. The real
# host, installed by the same build, must copy both files into the destination; the plugin's log
# lines must say it was loaded from where Dolphin loads plugins and what it did.
#
# Usage: dolphin_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../tests/desktop_check.bash"
check_log_name=dolphin.log check_log_title="Dolphin's output"

case ${1-} in
--inside)
  # In the private mount namespace: Qt's plugin folder shows the staged plugin too.
  work=$2
  plugindir=$(cat "$work/plugindir")
  mount -t overlay ambrevoli-plugins -o "lowerdir=$work/stage$plugindir:$plugindir" "$plugindir" \
    2>"$work/overlay.log" || skip "cannot lay an overlay over $plugindir here: $(cat "$work/overlay.log")"
  check_start_xvfb fail
  dbus-run-session -- "$0" --session "$work"
  exit
  ;;
--session)
  work=$2
  ;;
*)
  build=${1:?usage: dolphin_check.sh <build folder>}
  built=$(check_dolphin_plugin "$build") ||
    skip "this build has no Dolphin plugin (KIO was not found, or AMBREVOLI_DOLPHIN_PLUGIN is off)"
  kf=$(check_dolphin_kf "$built")
  check_root "lay the staged plugin over Qt's plugin folder in a mount namespace"
  check_tools dolphin Xvfb xdotool dbus-run-session unshare setpriv
  check_atspi_bindings
  check_uninstrumented "$built" \
    "this build is instrumented with AddressSanitizer, which an uninstrumented Dolphin cannot load"
  check_namespaces

  check_make_work dolphin
  check_stage "$build"
  plugin=$(grep -m1 "/$kf/kfileitemaction/ambrevoli-dolphin\\.so\$" "$build/install_manifest.txt") ||
    fail "the plugin was not installed"
  # Where Dolphin's Qt loads plugins from, asked of that Qt itself.
  plugindir=$(check_qt_plugin_folder "$kf") ||
    skip "the qmake of the plugin's Qt is not installed (scripts/install-deps installs it)"
  [[ $plugin == "$plugindir/$kf/kfileitemaction/ambrevoli-dolphin.so" ]] ||
    fail "the plugin went to $plugin, not into $plugindir/$kf/kfileitemaction"
  echo "$plugindir" >"$work/plugindir"
  echo "$kf" >"$work/kf"
  check_make_send_world

  # Whatever the session starts (Dolphin, KDE's daemons, the host) ends with the namespace.
  check_rerun_in_namespaces --inside "$work"
  ;;
esac

# On the private session bus, on Xvfb, with the real host the build staged.
check_user_env
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$work/stage/usr/bin/ambrevoli
export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
unset SUDO_USER

dolphin --new-window "$HOME/src" >"$work/dolphin.log" 2>&1 &
check_watch_module Dolphin $! "$work/dolphin.log" ambrevoli.dolphin

windows=$(timeout 60 xdotool search --sync --onlyvisible --class dolphin) || fail "no Dolphin window"
window=${windows%%$'\n'*}
# Qt never starts the accessibility bus itself, and here joins it only when it sees the bus
# appear: start it now that Dolphin runs.
dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null ||
  fail "the accessibility bus did not start"
# The context menu of both files (all the folder holds), from the keyboard. The view takes the
# keys only once it has the focus, which on a busy machine may take a while: keys sent earlier
# open the folder's own context menu (Dolphin offers file actions there too, for the folder
# itself), which is why the selection is made first and the menu opened a moment later.
sleep 2
for attempt in 1 2 3 4 5 6; do
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window" || true
  sleep 1
  xdotool key --clearmodifiers ctrl+a
  sleep 1
  xdotool key --clearmodifiers Menu
  has_line 'default: Built the menu: 2 destinations, 1 disabled' 100 && break
  xdotool key --clearmodifiers Escape
  [[ $attempt -lt 6 ]] || fail "no line like 'default: Built the menu: 2 destinations, 1 disabled'"
done
has_line "default: Running from $(cat "$work/plugindir")/$(cat "$work/kf")/kfileitemaction: true" 1 ||
  fail "the plugin did not log that it runs from where Dolphin loads plugins"

"$here/atspi_context_menu.py" "Send To" "Photos_2024" || fail "could not click Send To › Photos_2024"
wait_for_line 'default: Clicked tag 1, 2 items'
wait_for_line 'default: Handed off to the host app'
check_wait_until 30 check_sent_files_arrived ||
  fail "the host did not copy both files into the destination: $(ls -A "$work/dest")"

echo "Dolphin loaded the plugin, and its menu sent two files through the real host. The plugin logged:"
extension_lines | sed 's/^/  /'
