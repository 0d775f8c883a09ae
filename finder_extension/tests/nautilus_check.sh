#!/usr/bin/env bash
# The extension in a real GNOME Files: stages `cmake --install` of a build, lets Nautilus load the
# staged module from its extension folder (a bind mount in a mount namespace of this check's own,
# so the system's folder is untouched), runs Nautilus on Xvfb with a private session bus, and
# drives its context menu through the accessibility bus: Send To › a destination with two files
# selected, then Send To › Edit Destinations…. Checks the module's log lines, the request file
# and how the (fake) host was started; then Edit Destinations… once more with the real host,
# whose settings window must show, and Other Folder…, whose chooser (Qt's own: the check has no
# portal) is driven through the accessibility bus to a folder the two files must arrive in.
#
# Usage: nautilus_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../tests/desktop_check.bash"
check_log_name=nautilus.log check_log_title="Nautilus's output"
extensiondir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

case ${1-} in
--inside)
  # In the private mount namespace: Nautilus's extension folder shows the staged one.
  work=$2
  mount --bind "$work/stage$extensiondir" "$extensiondir"
  check_start_xvfb fail
  dbus-run-session -- "$0" --session "$work"
  exit
  ;;
--session)
  work=$2
  ;;
*)
  build=${1:?usage: nautilus_check.sh <build folder>}
  check_root "bind the staged module over Nautilus's extension folder in a mount namespace"
  check_tools nautilus Xvfb xdotool dbus-run-session unshare setpriv
  check_atspi_bindings
  check_uninstrumented "$build/finder_extension/libambrevoli-finder.so" \
    "this module is built with AddressSanitizer, which an uninstrumented Nautilus cannot load"
  check_namespaces

  check_make_work nautilus
  check_stage "$build"
  [[ -f $work/stage$extensiondir/libambrevoli-finder.so ]] || fail "the module was not staged into $extensiondir"
  check_make_send_world
  # The host records how it was started; one record per start.
  cat >"$work/host" <<'HOST'
#!/bin/sh
# Once the check names the real host, it answers instead.
[ -f "$(dirname "$0")/real-host" ] && exec "$(cat "$(dirname "$0")/real-host")" "$@"
record=$(dirname "$0")/started.$$
{ printf '%s\n' "$@"; echo "XDG_ACTIVATION_TOKEN=${XDG_ACTIVATION_TOKEN-}"; } >"$record.partial"
mv "$record.partial" "$record"
HOST
  chmod 755 "$work/host"

  check_rerun_in_namespaces --inside "$work"
  ;;
esac

# On the private session bus, on Xvfb.
check_user_env
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$work/host
export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 # the real host's window, found through AT-SPI

nautilus --new-window "$HOME/src" >"$work/nautilus.log" 2>&1 &
check_watch_module Nautilus $! "$work/nautilus.log" ambrevoli.finder
started() { ls "$work" | grep -Ec '^started\.[0-9]+$' || true; }
started_at_least() { [[ $(started) -ge $1 ]]; }
wait_for_starts() { check_wait_until 30 started_at_least "$1" || fail "the host was not started"; }

wait_for_line "default: Running from $extensiondir: true"
wait_for_line 'default: Watching [0-9]+ folders: / and the mounted volume roots'

windows=$(timeout 60 xdotool search --sync --onlyvisible --class org.gnome.Nautilus) ||
  fail "no Nautilus window"
window=${windows%%$'\n'*}
# A click on the empty part of the view (right of the sidebar, below the files) gives it the focus.
# On a busy machine the window may not take it at the first click: select again until the module
# builds its menu.
eval "$(xdotool getwindowgeometry --shell "$window")"
for attempt in 1 2 3 4 5 6; do
  xdotool mousemove --window "$window" $((WIDTH * 3 / 4)) $((HEIGHT * 4 / 5)) click 1
  xdotool key --clearmodifiers ctrl+a
  has_line 'default: Built the menu: 2 destinations, 1 disabled' 100 && break
  [[ $attempt -lt 6 ]] || fail "no line like 'default: Built the menu: 2 destinations, 1 disabled'"
done

# A click on a destination.
xdotool key --clearmodifiers shift+F10
"$here/atspi_click.py" org.gnome.Nautilus "Send To" "Photos_2024" || fail "could not click Send To › Photos_2024"
wait_for_line 'default: Clicked tag 1, 2 items'
wait_for_line 'default: Handed off to the host app'
wait_for_starts 1
request=$(ls "$XDG_DATA_HOME/ambrevoli/Requests")
[[ $request =~ ^[0-9A-F-]{36}\.json$ ]] || fail "expected one request file, found: $request"
start=$(cat "$work"/started.[0-9]*)
[[ $start == "--background"$'\n'"ambrevoli://send?request=${request%.json}"$'\n'"XDG_ACTIVATION_TOKEN=" ]] ||
  fail "the host was started with: $start"
/usr/bin/python3 - "$XDG_DATA_HOME/ambrevoli/Requests/$request" "$HOME/src" <<'PY' || fail "wrong request"
import json, sys
request = json.load(open(sys.argv[1]))
assert request["destinationID"] == "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F", request
assert sorted(request["sources"]) == [sys.argv[2] + "/a.txt", sys.argv[2] + "/b.txt"], request
PY
rm "$work"/started.[0-9]*

# "Edit Destinations…": the host comes to the front with the display's startup token.
xdotool key --clearmodifiers shift+F10
"$here/atspi_click.py" org.gnome.Nautilus "Send To" "Edit Destinations…" ||
  fail "could not click Send To › Edit Destinations…"
wait_for_starts 1
start=$(cat "$work"/started.[0-9]*)
[[ $start =~ ^ambrevoli://settings$'\n'XDG_ACTIVATION_TOKEN=.+$ ]] || fail "the host was started with: $start"

# The real host, installed by the same build: Edit Destinations… opens its settings window.
echo "$work/stage/usr/bin/ambrevoli" >"$work/real-host"
xdotool key --clearmodifiers shift+F10
"$here/atspi_click.py" org.gnome.Nautilus "Send To" "Edit Destinations…" ||
  fail "could not click Send To › Edit Destinations… for the real host"
"$here/../../Ambrevoli/windows/tests/settings_atspi.py" window "Ambrevoli Settings" ||
  fail "Edit Destinations… did not open the Ambrevoli Settings window"

# "Other Folder…" with the real host: its chooser asks for the folder, and the selection goes there.
# The settings window took the focus: the files are selected again in Files first.
mkdir "$HOME/Elsewhere"
for attempt in 1 2 3 4 5 6; do
  xdotool windowfocus --sync "$window" mousemove --window "$window" $((WIDTH * 3 / 4)) $((HEIGHT * 4 / 5)) click 1
  xdotool key --clearmodifiers ctrl+a shift+F10
  "$here/atspi_click.py" org.gnome.Nautilus "Send To" "Other Folder…" && break
  xdotool key --clearmodifiers Escape
  [[ $attempt -lt 6 ]] || fail "could not click Send To › Other Folder…"
done
wait_for_line 'default: Clicked Other Folder, 2 items'
chooser="Send to Another Folder"
"$here/../../Ambrevoli/windows/tests/settings_atspi.py" type "$chooser" "" "$HOME/Elsewhere" ||
  fail "Other Folder… showed no chooser to type the folder into"
"$here/../../Ambrevoli/windows/tests/settings_atspi.py" act "$chooser" Choose Press ||
  fail "could not press Choose in the chooser"
arrived() { [[ -f $HOME/Elsewhere/a.txt && -f $HOME/Elsewhere/b.txt ]]; }
check_wait_until 30 arrived || fail "the files did not arrive in the chosen folder: $(ls -A "$HOME/Elsewhere")"
cmp "$HOME/src/a.txt" "$HOME/Elsewhere/a.txt" || fail "a.txt arrived changed"

echo "Nautilus loaded the module and its menu worked. The module logged:"
extension_lines | sed 's/^/  /'
echo "The settings start carried ${start##*$'\n'}; the real host showed its settings window, and"
echo "Other Folder… sent both files into the folder chosen in its chooser."
