#!/usr/bin/env bash
# The extension in a real GNOME Files: stages `cmake --install` of a build, lets Nautilus load the
# staged module from its extension folder (a bind mount in a mount namespace of this check's own,
# so the system's folder is untouched), runs Nautilus on Xvfb with a private session bus, and
# drives its context menu through the accessibility bus: Send To › a destination with two files
# selected, then Send To › Edit Destinations…. Checks the module's log lines, the request file
# and how the (fake) host was started; then Edit Destinations… once more with the real host,
# whose settings window must show.
#
# Usage: nautilus_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  [[ -n ${work-} && -f $work/nautilus.log ]] && { echo "--- Nautilus's output:"; cat -v "$work/nautilus.log"; }
  exit 1
}

here=$(cd "$(dirname "$0")" && pwd)
extensiondir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

case ${1-} in
--inside)
  # In the private mount namespace: Nautilus's extension folder shows the staged one.
  work=$2
  mount --bind "$work/stage$extensiondir" "$extensiondir"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  [[ -s $work/display ]] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  DISPLAY=:$(head -n1 "$work/display") dbus-run-session -- "$0" --session "$work"
  exit
  ;;
--session)
  work=$2
  ;;
*)
  build=${1:?usage: nautilus_check.sh <build folder>}
  [[ $(id -u) -eq 0 ]] || skip "needs root, to bind the staged module over Nautilus's extension folder in a mount namespace"
  for tool in nautilus Xvfb xdotool dbus-run-session unshare setpriv; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
  /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    skip "the accessibility bindings (python3-gi, gir1.2-atspi-2.0) are not installed"
  if [[ $(ldd "$build/finder_extension/libambrevoli-finder.so") == *libasan* ]]; then
    skip "this module is built with AddressSanitizer, which an uninstrumented Nautilus cannot load"
  fi
  unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null ||
    skip "cannot make mount and PID namespaces here"

  work=$(mktemp -d /tmp/ambrevoli-nautilus-XXXXXX)
  # The session's services (gvfsd-metadata) may still write into the home folder for a moment
  # after the bus has gone.
  cleanup() {
    for _ in $(seq 50); do rm -rf "$work" 2>/dev/null && return; sleep 0.1; done
    echo "could not remove $work"
  }
  trap cleanup EXIT
  DESTDIR=$work/stage cmake --install "$build" --prefix /usr >"$work/install.log"
  [[ -f $work/stage$extensiondir/libambrevoli-finder.so ]] || fail "the module was not staged into $extensiondir"

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

  status=0
  # A PID namespace too: when its first process ends, whatever the session started ends with it.
  # unshare kills that process when it goes itself (--kill-child), and the kernel ends unshare
  # when this script goes, even killed outright (SIGKILL, where no trap runs): the signal is
  # armed first, then the parent checked, in case this script went in between.
  setpriv --pdeathsig KILL -- sh -c '[ "$PPID" = "$0" ] || exit 1; exec "$@"' $$ \
    unshare --mount --pid --fork --kill-child --mount-proc --propagation private -- \
    "$0" --inside "$work" || status=$?
  exit $status
  ;;
esac

# On the private session bus, on Xvfb.
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$work/host
export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 # the real host's window, found through AT-SPI
unset XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID

log=$work/nautilus.log
nautilus --new-window "$HOME/src" >"$log" 2>&1 &
nautilus=$!
trap 'kill $nautilus 2>/dev/null || true' EXIT

module_lines() { grep -a '^ambrevoli.finder\[extension\] ' "$log" | sed 's/^ambrevoli.finder\[extension\] //'; }
has_line() { # pattern (extended regular expression, whole line), tenths of a second to wait
  for _ in $(seq "$2"); do
    module_lines | grep -Ex -- "$1" >/dev/null && return 0
    kill -0 $nautilus 2>/dev/null || fail "Nautilus ended"
    sleep 0.1
  done
  return 1
}
wait_for_line() { has_line "$1" 600 || fail "no line like '$1'"; }
started() { ls "$work" | grep -Ec '^started\.[0-9]+$' || true; }
wait_for_starts() {
  for _ in $(seq 300); do [[ $(started) -ge $1 ]] && return 0; sleep 0.1; done
  fail "the host was not started"
}

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
wait_for_line 'default: Handed off to the host app, pid 0'
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

echo "Nautilus loaded the module and its menu worked. The module logged:"
module_lines | sed 's/^/  /'
echo "The settings start carried ${start##*$'\n'}; the real host showed its settings window."
