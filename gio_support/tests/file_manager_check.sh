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

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  [[ -n ${work-} && -f $work/manager.log ]] && { echo "--- The file manager's output:"; cat -v "$work/manager.log"; }
  exit 1
}

here=$(cd "$(dirname "$0")" && pwd)
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
subsystem=ambrevoli.$manager
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
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  [[ -s $work/display ]] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  DISPLAY=:$(head -n1 "$work/display") dbus-run-session -- "$0" "$work" "$manager" --session
  exit
  ;;
--session)
  work=$1
  ;;
*)
  build=${1:?usage: file_manager_check.sh <build folder> nemo|caja|thunar}
  [[ $(id -u) -eq 0 ]] || skip "needs root, to lay the staged module over the file manager's extension folder in a mount namespace"
  for tool in "${command[0]}" Xvfb xdotool dbus-run-session unshare setpriv; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
  /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    skip "the accessibility bindings (python3-gi, gir1.2-atspi-2.0) are not installed"
  [[ -f $build/$module ]] || skip "the $manager module was not built"
  if [[ $(ldd "$build/$module") == *libasan* ]]; then
    skip "this module is built with AddressSanitizer, which an uninstrumented file manager cannot load"
  fi
  unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null ||
    skip "cannot make mount and PID namespaces here"
  # The folder the staged files show through: the extension folder or, where it does not exist
  # yet, its nearest existing ancestor.
  shown=$extensiondir
  while [[ ! -d $shown ]]; do shown=$(dirname "$shown"); done

  work=$(mktemp -d /tmp/ambrevoli-$manager-XXXXXX)
  cleanup() {
    for _ in $(seq 50); do rm -rf "$work" 2>/dev/null && return; sleep 0.1; done
    echo "could not remove $work"
  }
  trap cleanup EXIT
  DESTDIR=$work/stage cmake --install "$build" --prefix /usr >"$work/install.log"
  [[ -f $work/stage$extensiondir/$(basename "$module") ]] ||
    fail "the module was not staged into $extensiondir"
  [[ -x $work/stage/usr/bin/ambrevoli ]] || fail "the host was not staged"

  # The user's world: two files, a destination and a destination that is gone.
  mkdir -p "$work/home/src" "$work/home/.local/share/ambrevoli" "$work/dest" "$work/run"
  chmod 700 "$work/run"
  echo one >"$work/home/src/a.txt"
  echo two >"$work/home/src/b.txt"
  cat >"$work/home/.local/share/ambrevoli/destinations.json" <<JSON
{"version": 1, "destinations": [
  {"id": "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F", "label": "Photos_2024", "path": "$work/dest"},
  {"id": "0B8D7C4A-52E1-4F0B-A1C3-9D8E7F6A5B4C", "label": "Gone", "path": "$work/gone"}]}
JSON

  status=0
  # A PID namespace too: when its first process ends, whatever the session started ends with it
  # (see nautilus_check.sh for why the parent is checked after arming the signal).
  setpriv --pdeathsig KILL -- sh -c '[ "$PPID" = "$0" ] || exit 1; exec "$@"' $$ \
    unshare --mount --pid --fork --kill-child --mount-proc --propagation private -- \
    "$0" "$work" "$manager" --inside "$shown" || status=$?
  exit $status
  ;;
esac

# On the private session bus, on Xvfb.
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$work/stage/usr/bin/ambrevoli
export GDK_BACKEND=x11 GSETTINGS_BACKEND=memory NO_AT_BRIDGE=0 GTK_A11Y=atspi
unset XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID

log=$work/manager.log
"${command[@]}" "$HOME/src" >"$log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT

module_lines() { grep -a "^$subsystem\[extension\] " "$log" | sed "s/^$subsystem\[extension\] //"; }
has_line() { # pattern (extended regular expression, whole line), tenths of a second to wait
  for _ in $(seq "$2"); do
    module_lines | grep -Ex -- "$1" >/dev/null && return 0
    kill -0 $pid 2>/dev/null || fail "${command[0]} ended"
    sleep 0.1
  done
  return 1
}
wait_for_line() { has_line "$1" 600 || fail "no line like '$1'"; }

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
# Thunar draws the items of an extension's submenu sensitive whatever the items say; a click on
# the missing destination reaches the host, which tells the user that its folder is gone.
[[ $manager == thunar ]] && missing=enabled
[[ $shown == $'Photos_2024\tenabled\nGone\t'$missing$'\nEdit Destinations…\tenabled' ]] ||
  fail "Send To shows:"$'\n'"$shown"
/usr/bin/python3 "$here/atspi_menu.py" "$application" "Send To" "Photos_2024" ||
  fail "could not click Send To › Photos_2024"
wait_for_line 'default: Clicked tag 1, 2 items'
wait_for_line 'default: Handed off to the host app, pid 0'

# The real host copies both files.
for _ in $(seq 300); do
  [[ -f $work/dest/a.txt && -f $work/dest/b.txt ]] && break
  sleep 0.1
done
[[ $(cat "$work/dest/a.txt" 2>/dev/null) == one && $(cat "$work/dest/b.txt" 2>/dev/null) == two ]] ||
  fail "the host did not copy the files: $(ls -la "$work/dest")"

echo "${command[0]} loaded the module, showed Send To and the host copied the selection. The module logged:"
module_lines | sed 's/^/  /'
