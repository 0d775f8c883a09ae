#!/usr/bin/env bash
# A module in its real file manager (Nemo, Caja or Thunar): stages `cmake --install` of a build,
# lets the file manager load the staged module from its extension folder (an overlay in a mount
# namespace of this check's own, so the system's folders are untouched), runs the file manager on
# Xvfb with a private session bus, selects two files and drives the context menu through the
# accessibility bus: Send To shows the destinations, the missing one disabled, and Edit
# Destinations…; a click on Send To › a destination, and the real host, installed by the same build, must
# copy both files there. Checks the module's log lines on the way.
#
# Usage: file_manager_check.sh <build folder> nemo|caja|thunar
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../tests/desktop_check.bash"
check_log_name=manager.log check_log_title="The file manager's output"
manager=${2:?usage: file_manager_check.sh <build folder> nemo|caja|thunar}
case $manager in
nemo)
  package=libnemo-extension variable=extensiondir module=nemo_extension/libambrevoli-nemo.so
  command=(nemo --no-desktop) ;;
caja)
  package=libcaja-extension variable=extensiondir module=caja_extension/libambrevoli-caja.so
  command=(caja --no-desktop) ;;
thunar)
  package=thunarx-3 variable=extensionsdir module=thunar_extension/ambrevoli-thunar.so
  command=(thunar) ;;
*) fail "unknown file manager $manager" ;;
esac
extensiondir=$(pkg-config --variable=$variable $package 2>/dev/null) || skip "$package is not installed"

case ${3-} in
--inside)
  # In the private mount namespace: the staged files show through the folder they were staged
  # for, over what it holds (an overlay, so that a folder the system does not have yet appears).
  work=$1 shown=$4
  mkdir "$work/overlay-work"
  mount -t overlay overlay \
    -o "lowerdir=$shown,upperdir=$work/stage$shown,workdir=$work/overlay-work" "$shown" \
    2>"$work/overlay.log" || skip "cannot mount an overlay here: $(cat "$work/overlay.log")"
  check_start_xvfb fail
  dbus-run-session -- "$0" "$work" "$manager" --session
  exit
  ;;
--session)
  work=$1
  ;;
*)
  build=${1:?usage: file_manager_check.sh <build folder> nemo|caja|thunar}
  check_root "lay the staged module over the file manager's extension folder in a mount namespace"
  check_tools "${command[0]}" Xvfb xdotool dbus-run-session unshare setpriv
  check_atspi_bindings
  [[ -f $build/$module ]] || skip "the $manager module was not built"
  check_uninstrumented "$build/$module" \
    "this module is built with AddressSanitizer, which an uninstrumented file manager cannot load"
  check_namespaces
  # The folder the staged files show through: the extension folder or, where it does not exist
  # yet, its nearest existing ancestor.
  shown=$extensiondir
  while [[ ! -d $shown ]]; do shown=$(dirname "$shown"); done

  check_make_work "$manager"
  check_stage "$build"
  [[ -f $work/stage$extensiondir/$(basename "$module") ]] ||
    fail "the module was not staged into $extensiondir"
  [[ -x $work/stage/usr/bin/ambrevoli ]] || fail "the host was not staged"
  check_make_send_world

  check_rerun_in_namespaces "$work" "$manager" --inside "$shown"
  ;;
esac

# On the private session bus, on Xvfb.
check_user_env
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$work/stage/usr/bin/ambrevoli
export GDK_BACKEND=x11 GSETTINGS_BACKEND=memory NO_AT_BRIDGE=0 GTK_A11Y=atspi

"${command[@]}" "$HOME/src" >"$work/manager.log" 2>&1 &
pid=$!
check_watch_module "${command[0]}" $pid "$work/manager.log" "ambrevoli.$manager"

wait_for_line "default: Running from $extensiondir: true"
wait_for_line 'default: Watching [0-9]+ folders: / and the mounted volume roots'

windows=$(timeout 60 xdotool search --sync --onlyvisible --pid $pid) || fail "no ${command[0]} window"
window=${windows%%$'\n'*}
eval "$(xdotool getwindowgeometry --shell "$window")"
# Select both files and open the context menu of the selection; on a busy machine the window may
# not take the focus at the first click.
for attempt in 1 2 3 4 5 6; do
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
  xdotool mousemove --window "$window" $((WIDTH * 3 / 4)) $((HEIGHT * 4 / 5)) click 1
  xdotool key --clearmodifiers ctrl+a
  sleep 0.3
  xdotool key --clearmodifiers shift+F10
  has_line 'default: Built the menu: 2 destinations, 1 disabled' 50 && break
  xdotool key --clearmodifiers Escape
  [[ $attempt -lt 6 ]] || fail "no line like 'default: Built the menu: 2 destinations, 1 disabled'"
done

application=$(/usr/bin/python3 "$here/atspi_application.py" $pid) ||
  fail "${command[0]} is not on the accessibility bus"
shown=$(/usr/bin/python3 "$here/atspi_menu.py" --list "$application" "Send To" "Photos_2024") ||
  fail "no Send To › Photos_2024 on the accessibility bus"
missing=disabled
# Thunar before 4.20 draws the items of an extension's submenu sensitive whatever the items say; a
# click on the missing destination reaches the host, which tells the user that its folder is gone.
if [[ $manager == thunar ]] && ! pkg-config --atleast-version=4.20 thunarx-3; then
  missing=enabled
fi
[[ $shown == $'Photos_2024\tenabled\nGone\t'$missing$'\nOther Folder…\tenabled\nEdit Destinations…\tenabled' ]] ||
  fail "Send To shows:"$'\n'"$shown"
/usr/bin/python3 "$here/atspi_menu.py" "$application" "Send To" "Photos_2024" ||
  fail "could not click Send To › Photos_2024"
wait_for_line 'default: Clicked tag 1, 2 items'
wait_for_line 'default: Handed off to the host app'

# The real host copies both files.
check_wait_until 30 check_sent_files_arrived ||
  fail "the host did not copy the files: $(ls -la "$work/dest")"

echo "${command[0]} loaded the module, showed Send To and the host copied the selection. The module logged:"
extension_lines | sed 's/^/  /'
