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
}

case ${1-} in
--inside)
  # In the private mount namespace.
  work=$2 build=$3
  mount -t tmpfs ambrevoli-no-logind /run/systemd
  mkdir "$work/extensions"
  cp "$build/finder_extension/libambrevoli-finder.so" "$work/extensions/"
  mount --bind "$work/extensions" "$extensiondir"
  mkdir "$work/slow"
  # 40 MiB at 2 MiB a second: the copy lasts long enough for its progress to show, also on a
  # loaded machine where the host takes seconds to start and the Shell to answer.
  "$build/shared_kit/slow_source_fs" "$work/slow" $((2 << 20)) "Holiday film.bin=$((40 << 20))" \
    >"$work/slow.log" 2>&1 &
  check_end_at_exit $!
  slow_mounted() { [[ -f "$work/slow/Holiday film.bin" ]]; }
  check_wait_until 10 slow_mounted || skip "the slowed-down source did not mount: $(cat "$work/slow.log")"
  dbus-daemon --session --fork --address="unix:path=$work/system_bus" --print-pid=3 3>"$work/system_bus.pid"
  check_end_at_exit "$(cat "$work/system_bus.pid")"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/system_bus
  dbus-run-session -- "$0" --session "$work" "$build"
  exit
  ;;
--session)
  work=$2 build=$3
  ;;
*)
  build=${1:?usage: gnome_shell_check.sh <build folder>}
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
check_wait_until 90 shell_started || true
grep -aq 'GNOME Shell started at' "$work/shell.log" ||
  fail "GNOME Shell did not start: $(grep -av '^dbus-daemon' "$work/shell.log" | tail -n 15)"
shell ready || fail "the Shell's notification server does not answer"

export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$build/Ambrevoli/ambrevoli
export WAYLAND_DISPLAY=$display GDK_BACKEND=wayland QT_QPA_PLATFORM=wayland
export GSETTINGS_BACKEND=memory QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
unset DISPLAY

nautilus --new-window "$work/slow" >"$work/nautilus.log" 2>&1 &
check_watch_module Nautilus $! "$work/nautilus.log" ambrevoli.finder
wait_for_line "default: Running from $extensiondir: true"
# The Shell starts in its overview, and a window started from outside it, without an activation
# token, does not take the overview away: Escape leaves it, as a person would.
window_shows() { "$here/../../Ambrevoli/windows/tests/settings_atspi.py" window "$1"; }
window_shows slow || fail "no Files window"
shell keys Escape

# The film to Photos_2024: the progress notification, then the result.
# A click on the film (the window opens in the middle of the screen at its default size, the film
# first in its view) selects it; on a busy machine the window may not take the first click.
film_at=(527 225)
for attempt in 1 2 3 4 5 6; do
  shell click-at "${film_at[@]}"
  has_line 'default: Built the menu: 2 destinations, 1 disabled' 100 && break
  [[ $attempt -lt 6 ]] || fail "no line like 'default: Built the menu: 2 destinations, 1 disabled'"
done
# The menu does not open at every right click on a busy machine: Escape, and again.
for attempt in 1 2 3; do
  shell click-at "${film_at[@]}" right
  "$here/atspi_click.py" org.gnome.Nautilus "Send To" "Photos_2024" && break
  [[ $attempt -lt 3 ]] || { shot no-menu; fail "could not click Send To › Photos_2024"; }
  shell keys Escape
done
wait_for_line 'default: Clicked tag 1, 1 items'
shell shows 'Copying 1 item to Photos_2024' || fail "the Shell showed no progress notification"
shot progress
shell shows 'Copied 1 item to Photos_2024' || fail "the Shell showed no result notification"
shot result
cmp "$work/slow/Holiday film.bin" "$work/dest/Holiday film.bin" || fail "the film arrived changed"

# A click on the result shows the destination in Files. Whether it comes to the front shows in the
# screenshot only: GTK 4's windows do not tell the accessibility bus which one is active.
shell click 'Copied 1 item to Photos_2024' || fail "could not click the result notification"
window_shows dest || fail "a click on the result showed no Files window of the destination"
shot revealed

echo "GNOME Shell showed the progress and the result of a send from Files, and a click on the"
echo "result showed the destination in Files."
