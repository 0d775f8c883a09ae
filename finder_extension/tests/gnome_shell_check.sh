#!/usr/bin/env bash
# The whole road on a GNOME desktop: GNOME Shell runs headless as the Wayland compositor and the
# notification server, GNOME Files runs inside it on Wayland with this build's module, and the
# real host answers. Typed and clicked through the Shell's virtual keyboard and pointer (Mutter's
# remote desktop interface) and the accessibility bus: Send To › a destination with a large file
# whose reads are slowed down, so the Shell shows the progress notification and then the result;
# a click on the result shows the destination in Files. Screenshots of the Shell at each of those
# are kept in the folder AMBREVOLI_CHECK_SCREENSHOTS names, when set.
#
# The Shell needs logind and a system bus. Without /run/systemd/seats it takes the path for a
# session without logind (a tmpfs over /run/systemd in this check's mount namespace hides the
# machine's), and an empty private system bus stands in for the machine's.
#
# Usage: gnome_shell_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../tests/desktop_check.bash"
check_log_name=nautilus.log check_log_title="Nautilus's output"
extensiondir=$(pkg-config --variable=extensiondir libnautilus-extension-4)
display=ambrevoli-gnome
# A failure shows the Shell's last words too.
check_show_log() {
  cat -v "$1"
  echo "--- The Shell's output (last lines):"
  grep -av '^dbus-daemon' "$work/shell.log" 2>/dev/null | tail -n 40 | cat -v
  echo "--- The host's log:"
  cat -v "$work/host.log" 2>/dev/null
}

case ${1-} in
--inside)
  # In the private mount namespace.
  work=$2 build=$3
  mount -t tmpfs ambrevoli-no-logind /run/systemd
  mkdir "$work/extensions"
  cp "$build/finder_extension/libambrevoli-finder.so" "$work/extensions/"
  mount --bind "$work/extensions" "$extensiondir"
  mkdir "$work/slow" "$work/served"
  # 24 MiB at 2 MiB a second: the copy lasts long enough for its progress to show, also on a
  # loaded machine where the Shell takes a second to answer. The same bytes unthrottled in
  # "served", for comparing the copy with.
  "$build/shared_kit/slow_source_fs" "$work/slow" $((2 << 20)) "Holiday film.bin=$((24 << 20))" \
    >"$work/slow.log" 2>&1 &
  check_end_at_exit $!
  "$build/shared_kit/slow_source_fs" "$work/served" 0 "Holiday film.bin=$((24 << 20))" \
    >>"$work/slow.log" 2>&1 &
  check_end_at_exit $!
  slow_mounted() { [[ -f "$work/slow/Holiday film.bin" && -f "$work/served/Holiday film.bin" ]]; }
  check_wait_until 10 slow_mounted || skip "the slowed-down source did not mount: $(cat "$work/slow.log")"
  dbus-daemon --session --fork --address="unix:path=$work/system_bus" --print-pid=3 3>"$work/system_bus.pid"
  check_end_at_exit "$(cat "$work/system_bus.pid")"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system_bus
  # The private home before the bus: the services it starts (the settings database's among them)
  # keep theirs in it too.
  check_user_env
  dbus-run-session -- "$0" --session "$work" "$build"
  exit
  ;;
--session)
  work=$2 build=$3
  ;;
*)
  build=$(cd "${1:?usage: gnome_shell_check.sh <build folder>}" && pwd)
  check_root "hide logind and bind the module over Nautilus's extension folder in a mount namespace"
  check_tools gnome-shell gjs nautilus dbus-run-session dbus-daemon unshare setpriv
  check_atspi_bindings
  [[ -x $build/shared_kit/slow_source_fs ]] || skip "slow_source_fs is not built (needs libfuse3-dev)"
  [[ -e /dev/fuse ]] || skip "no /dev/fuse for the slowed-down source"
  check_uninstrumented "$build/finder_extension/libambrevoli-finder.so" \
    "this module is built with AddressSanitizer, which an uninstrumented Nautilus cannot load"
  check_namespaces

  check_make_work gnome
  check_make_send_world
  check_rerun_in_namespaces --inside "$work" "$build"
  ;;
esac

# On the private session bus.
check_user_env
shots=${AMBREVOLI_CHECK_SCREENSHOTS:-$work/screenshots}
mkdir -p "$shots"
shell() { "$here/gnome_shell.py" "$@"; }
shot() { shell screenshot "$shots/gnome-$1.png" || fail "no screenshot of $1"; }

gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800 --wayland-display=$display \
  >"$work/shell.log" 2>&1 &
shell_pid=$!
check_end_at_exit $shell_pid
shell_started() { grep -aq 'GNOME Shell started at' "$work/shell.log" || check_ended $shell_pid; }
# The Shell starts the input method daemon through a JavaScript callback that runs in the forked
# child before exec; now and then that child deadlocks there, and the Shell waits for it forever.
# Such a child (still a gnome-shell, its parent the Shell) is ended: the Shell takes it as a
# failed start of the input method and goes on.
unstick_shell() {
  local child
  for child in $(pgrep -P $shell_pid -x gnome-shell); do
    echo "Ended the Shell's child $child, stuck before exec"
    kill -KILL "$child"
  done
}
check_wait_until 20 shell_started || { unstick_shell; check_wait_until 70 shell_started || true; }
grep -aq 'GNOME Shell started at' "$work/shell.log" ||
  fail "GNOME Shell did not start: $(grep -av '^dbus-daemon' "$work/shell.log" | tail -n 15)"
shell ready || fail "the Shell's notification server does not answer"
shell plug-in &
check_end_at_exit $!

# The host's desktop entry and icon, as the package installs them: the Shell names the host's
# windows and notifications by them, and keeps its per-application notification setting by the entry.
mkdir -p "$XDG_DATA_HOME/applications" "$XDG_DATA_HOME/icons/hicolor/scalable/apps"
sed "s|^Exec=ambrevoli|Exec=$build/Ambrevoli/ambrevoli|" "$here/../../data/ambrevoli.desktop" \
  >"$XDG_DATA_HOME/applications/ambrevoli.desktop"
cp "$here/../../data/ambrevoli.svg" "$XDG_DATA_HOME/icons/hicolor/scalable/apps/"

export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$build/Ambrevoli/ambrevoli
export WAYLAND_DISPLAY=$display GDK_BACKEND=wayland QT_QPA_PLATFORM=wayland
# As a GNOME session has it; the host and the Shell share this home's settings database, where
# the Shell keeps its per-application notification switch.
export XDG_CURRENT_DESKTOP=GNOME QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
unset DISPLAY

# The host runs from the start of the session, as its autostart entry has it; its log is kept.
"$build/Ambrevoli/ambrevoli" --background >"$work/host.log" 2>&1 &
check_end_at_exit $!

nautilus --new-window "$work/slow" >"$work/nautilus.log" 2>&1 &
check_watch_module Nautilus $! "$work/nautilus.log" ambrevoli.finder
wait_for_line "default: Running from $extensiondir: true"
# The Shell starts in its overview, and a window started from outside it, without an activation
# token, does not take the overview away: Escape leaves it, as a person would.
window_shows() { "$here/../../Ambrevoli/windows/tests/settings_atspi.py" window "$1"; }
window_shows slow || fail "no Files window"
shell keys Escape

# A click on the film (the window opens in the middle of the screen at its default size, the film
# first in its view) selects it; on a busy machine the window may not take the first click.
film_at=(527 225)
select_film() {
  local attempt
  for attempt in 1 2 3 4 5 6; do
    shell click-at "${film_at[@]}"
    has_line "$1" 100 && return
  done
  fail "no line like '$1'"
}
# Send To › $1 from the film's context menu. A right click that follows the selecting click too
# closely opens no menu, and now and then one opens none at all on a busy machine: a second's
# pause first, and where no menu came, Escape and the keyboard's way to the menu, then again.
send_film_to() {
  local attempt
  for attempt in 1 2 3 4; do
    sleep 1
    if ((attempt % 2)); then shell click-at "${film_at[@]}" right; else shell keys shift+F10; fi
    "$here/atspi_click.py" --within 8 org.gnome.Nautilus "Send To" "$1" && return
    shell keys Escape
  done
  shot no-menu
  fail "could not click Send To › $1"
}
window_active() { "$here/../../Ambrevoli/windows/tests/settings_atspi.py" active "$1"; }

# "Edit Destinations…" brings the settings window to the front, over Files: a new window, and
# then again once Files is in front of it. The Shell gives the keyboard to a new window anyway;
# the second time, the token Files hands over is no help (it names no window), and the host shows
# its window anew.
settings="Ambrevoli Settings"
select_film 'default: Built the menu: 2 destinations, 1 disabled'
send_film_to "Edit Destinations…"
window_active "$settings" || { shot settings-behind; fail "the new settings window is not in front"; }
# Files to the front by Alt+Tab: the Shell may have put the settings window over the film (GNOME
# 48 does), where a click reaches only the settings window.
shell keys alt+Tab
"$here/../../Ambrevoli/windows/tests/settings_atspi.py" inactive "$settings" ||
  { shot files-behind; fail "Alt+Tab did not bring Files to the front"; }
select_film 'default: Built the menu: 2 destinations, 1 disabled'
send_film_to "Edit Destinations…"
window_active "$settings" ||
  { shot settings-behind; fail "Edit Destinations… left the settings window behind Files"; }
shot settings-raised
shell keys alt+F4
"$here/../../Ambrevoli/windows/tests/settings_atspi.py" closed "$settings" ||
  fail "Alt+F4 did not close the settings window"

# The film to Photos_2024: the progress notification, then the result.
select_film 'default: Built the menu: 2 destinations, 1 disabled'
send_film_to Photos_2024
wait_for_line 'default: Clicked tag 1, 1 items'
shell shows 'Copying 1 item to Photos_2024' || fail "the Shell showed no progress notification"
shot progress
shell shows 'Copied 1 item to Photos_2024' || fail "the Shell showed no result notification"
shot result
cmp "$work/served/Holiday film.bin" "$work/dest/Holiday film.bin" || fail "the film arrived changed"

# A click on the result shows the destination in Files. Whether it comes to the front shows in the
# screenshot only: GTK 4's windows do not tell the accessibility bus which one is active.
shell click 'Copied 1 item to Photos_2024' || fail "could not click the result notification"
window_shows dest || fail "a click on the result showed no Files window of the destination"
# The window shows before its view is filled: a moment for the film to show in the screenshot.
sleep 2
shot revealed

# A send that fails: its notification says so in the Shell.
"$build/tools/ambrevoli-send" --wait --to Photos_2024 "$work/slow/Gone.bin" >"$work/send.log" 2>&1 &&
  fail "a send of a missing file succeeded: $(cat "$work/send.log")"
shell shows "Couldn't copy 1 item to Photos_2024" || { shot failure; fail "the Shell showed no failure"; }
shot failure

# Do Not Disturb: the Shell shows no banner, and the result waits in its notification list, which
# a click on the clock opens.
gsettings set org.gnome.desktop.notifications show-banners false
"$build/tools/ambrevoli-send" --wait --to Photos_2024 "$work/served/Holiday film.bin" >"$work/send.log" 2>&1 ||
  fail "a send under Do Not Disturb failed: $(cat "$work/send.log")"
shell shows 'Copied 1 item to Photos_2024' 3 2>/dev/null &&
  { shot do-not-disturb-banner; fail "the Shell showed a banner under Do Not Disturb"; }
shell click-at 640 15
shell shows 'Copied 1 item to Photos_2024' ||
  { shot do-not-disturb; fail "the result is not in the Shell's notification list"; }
shot do-not-disturb
shell keys Escape
gsettings set org.gnome.desktop.notifications show-banners true

# The welcome guide reads what GNOME says: Files has the module, the Shell shows the host's
# notifications; then, with them switched off in GNOME's own per-application setting, that they
# are off and where to turn them on.
guide="Welcome to Ambrevoli"
guide_says() { "$here/../../Ambrevoli/windows/tests/settings_atspi.py" state "$guide" "$1" showing; }
"$build/Ambrevoli/ambrevoli" || fail "ambrevoli did not hand the guide to the running host"
guide_says "Ambrevoli is on, so Send To appears when you right-click in Files." ||
  { shot guide; fail "the guide does not say that Files has the module"; }
guide_says "Ambrevoli can tell you when a copy finishes or fails." ||
  { shot guide; fail "the guide does not say that notifications are allowed"; }
shot guide
gsettings set org.gnome.desktop.notifications.application:/org/gnome/desktop/notifications/application/ambrevoli/ \
  enable false
shell keys alt+F4
"$here/../../Ambrevoli/windows/tests/settings_atspi.py" closed "$guide" || fail "the guide did not close"
"$build/Ambrevoli/ambrevoli" || fail "ambrevoli did not hand the guide to the running host"
guide_says "Notifications are off. You can turn them on in Settings › Notifications." ||
  { shot guide-notifications-off; fail "the guide does not say that notifications are off"; }
shot guide-notifications-off

echo "In GNOME Shell, Edit Destinations… brought the settings window to the front; the Shell"
echo "showed a send's progress, its result and a failure, and a click on the result showed the"
echo "destination in Files; the welcome guide read GNOME's notification switch."
