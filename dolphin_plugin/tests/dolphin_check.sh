#!/usr/bin/env bash
# The plugin in a real Dolphin: stages `cmake --install` of a build, lays the staged plugin folder
# over Qt 5's plugin folder (an overlay in a mount namespace of this check's own, so the system's
# folder is untouched), runs Dolphin on Xvfb with a private session bus and two files selected,
# and drives its context menu through the accessibility bus: Send To › a destination. The real
# host, installed by the same build, must copy both files into the destination; the plugin's log
# lines must say it was loaded from where Dolphin loads plugins and what it did.
#
# Usage: dolphin_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}
fail() {
  echo "FAIL: $*"
  [[ -n ${work-} && -f $work/dolphin.log ]] && { echo "--- Dolphin's output:"; cat -v "$work/dolphin.log"; }
  exit 1
}

here=$(cd "$(dirname "$0")" && pwd)

case ${1-} in
--inside)
  # In the private mount namespace: Qt 5's plugin folder shows the staged plugin too.
  work=$2
  plugindir=$(cat "$work/plugindir")
  mount -t overlay ambrevoli-plugins -o "lowerdir=$work/stage$plugindir:$plugindir" "$plugindir" \
    2>"$work/overlay.log" || skip "cannot lay an overlay over $plugindir here: $(cat "$work/overlay.log")"
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
  build=${1:?usage: dolphin_check.sh <build folder>}
  [[ -f $build/dolphin_plugin/plugins/kf5/kfileitemaction/ambrevoli-dolphin.so ]] ||
    skip "this build has no Dolphin plugin (KF5 KIO was not found, or AMBREVOLI_DOLPHIN_PLUGIN is off)"
  [[ $(id -u) -eq 0 ]] || skip "needs root, to lay the staged plugin over Qt's plugin folder in a mount namespace"
  for tool in dolphin Xvfb xdotool dbus-run-session unshare setpriv; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
  /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    skip "the accessibility bindings (python3-gi, gir1.2-atspi-2.0) are not installed"
  if [[ $(ldd "$build/dolphin_plugin/plugins/kf5/kfileitemaction/ambrevoli-dolphin.so") == *libasan* ]]; then
    skip "this build is instrumented with AddressSanitizer, which an uninstrumented Dolphin cannot load"
  fi
  unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null ||
    skip "cannot make mount and PID namespaces here"

  work=$(mktemp -d /tmp/ambrevoli-dolphin-XXXXXX)
  cleanup() {
    for _ in $(seq 50); do rm -rf "$work" 2>/dev/null && return; sleep 0.1; done
    echo "could not remove $work"
  }
  trap cleanup EXIT
  DESTDIR=$work/stage cmake --install "$build" --prefix /usr >"$work/install.log"
  plugin=$(grep -m1 '/kf5/kfileitemaction/ambrevoli-dolphin\.so$' "$build/install_manifest.txt") ||
    fail "the plugin was not installed"
  # Where Dolphin's Qt loads plugins from, asked of Qt 5 itself.
  plugindir=$(/usr/lib/qt5/bin/qmake -query QT_INSTALL_PLUGINS) ||
    skip "Qt 5's qmake is not installed (scripts/install-deps installs it)"
  [[ $plugin == "$plugindir/kf5/kfileitemaction/ambrevoli-dolphin.so" ]] ||
    fail "the plugin went to $plugin, not into $plugindir/kf5/kfileitemaction"
  echo "$plugindir" >"$work/plugindir"

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
  # A PID namespace too: when its first process ends, whatever the session started (Dolphin,
  # KDE's daemons, the host) ends with it; the kernel ends unshare when this script goes.
  setpriv --pdeathsig KILL -- sh -c '[ "$PPID" = "$0" ] || exit 1; exec "$@"' $$ \
    unshare --mount --pid --fork --kill-child --mount-proc --propagation private -- \
    "$0" --inside "$work" || status=$?
  exit $status
  ;;
esac

# On the private session bus, on Xvfb, with the real host the build staged.
export HOME=$work/home XDG_RUNTIME_DIR=$work/run
export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$work/stage/usr/bin/ambrevoli
export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
unset XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID SUDO_USER

log=$work/dolphin.log
dolphin --new-window "$HOME/src" >"$log" 2>&1 &
dolphin=$!
trap 'kill $dolphin 2>/dev/null || true' EXIT

plugin_lines() { grep -a '^ambrevoli.dolphin\[extension\] ' "$log" | sed 's/^ambrevoli.dolphin\[extension\] //'; }
has_line() { # pattern (extended regular expression, whole line), tenths of a second to wait
  for _ in $(seq "$2"); do
    plugin_lines | grep -Ex -- "$1" >/dev/null && return 0
    kill -0 $dolphin 2>/dev/null || fail "Dolphin ended"
    sleep 0.1
  done
  return 1
}
wait_for_line() { has_line "$1" 600 || fail "no line like '$1'"; }

windows=$(timeout 60 xdotool search --sync --onlyvisible --class dolphin) || fail "no Dolphin window"
window=${windows%%$'\n'*}
# Qt 5 never starts the accessibility bus itself, and here joins it only when it sees the bus
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
has_line "default: Running from $(cat "$work/plugindir")/kf5/kfileitemaction: true" 1 ||
  fail "the plugin did not log that it runs from where Dolphin loads plugins"

"$here/atspi_context_menu.py" "Send To" "Photos_2024" || fail "could not click Send To › Photos_2024"
wait_for_line 'default: Clicked tag 1, 2 items'
wait_for_line 'default: Handed off to the host app, pid 0'
for _ in $(seq 300); do
  [[ $(cat "$work/dest/a.txt" 2>/dev/null) == one && $(cat "$work/dest/b.txt" 2>/dev/null) == two ]] && break
  sleep 0.1
done
[[ $(cat "$work/dest/a.txt" 2>/dev/null) == one && $(cat "$work/dest/b.txt" 2>/dev/null) == two ]] ||
  fail "the host did not copy both files into the destination: $(ls -A "$work/dest")"

echo "Dolphin loaded the plugin, and its menu sent two files through the real host. The plugin logged:"
plugin_lines | sed 's/^/  /'
