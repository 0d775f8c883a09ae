#!/usr/bin/env bash
# The settings window as a person uses it, in the real host on Xvfb: `ambrevoli --settings` opens
# it, a folder is added through the running host, its name field is found through the
# accessibility bus (as a screen reader finds it), clicked and typed into, and the destinations
# file is read back. A switch and a button are then worked by their accessible actions alone, as
# a screen reader works them: "Check for updates automatically" toggled off (the updater stores
# it and the second switch goes off limits) and on again, and Remove pressed on a row that took
# the focus the same way. Then Ctrl+Q (Quit Ambrevoli) while a copy is under way: the host ends once
# the copy is complete.
#
# Usage: settings_atspi_check.sh <build folder>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../../tests/desktop_check.bash"
check_log_name=host.log check_log_title="The host's output"

case ${1-} in
--session)
  work=$2
  host=$3
  send=$4
  ;;
*)
  build=${1:?usage: settings_atspi_check.sh <build folder>}
  host=$build/Ambrevoli/ambrevoli
  send=$build/tools/ambrevoli-send
  # Whatever the check starts (the display, the buses, the host) ends with its PID namespace.
  check_own_pid_namespace "$@"
  check_tools Xvfb xdotool dbus-run-session
  check_atspi_bindings
  check_uninstrumented "$host" "the host is built with AddressSanitizer"

  check_make_work settings
  mkdir "$work/home/Photos"
  check_start_xvfb skip
  dbus-run-session -- "$0" --session "$work" "$host" "$send"
  exit
  ;;
esac

# On the private session bus (which starts the accessibility bus on demand), on Xvfb.
check_user_env
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$host
export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
unset WAYLAND_DISPLAY
file=$XDG_DATA_HOME/ambrevoli/destinations.json

"$host" --settings >"$work/host.log" 2>&1 &
running=$!
check_end_at_exit $running
"$here/settings_atspi.py" window "Ambrevoli Settings" || fail "the settings window did not show"

"$host" --add-destination "$HOME/Photos" || fail "the folder was not handed to the running host"
position=$("$here/settings_atspi.py" field "Ambrevoli Settings" "Photos") ||
  fail "no name field holding Photos"

# Renamed as a person does it: a click into the field, the old name selected, the new one typed.
xdotool mousemove ${position% *} ${position#* } click 1
xdotool key --clearmodifiers ctrl+a
xdotool type --delay 20 "Holiday Pictures"
xdotool key Return

check_wait_until 30 grep -q '"Holiday Pictures"' "$file" 2>/dev/null || true
/usr/bin/python3 - "$file" "$HOME/Photos" <<'PY' || fail "the destinations file does not hold the new name: $(cat "$file")"
import json, sys
destinations = json.load(open(sys.argv[1]))["destinations"]
assert [(d["label"], d["path"]) for d in destinations] == [("Holiday Pictures", sys.argv[2])], destinations
PY
"$here/settings_atspi.py" field "Ambrevoli Settings" "Holiday Pictures" >/dev/null ||
  fail "the name field does not show the new name"
kill -0 $running 2>/dev/null || fail "the host ended"

# The updater's settings, as the host keeps them.
settings=$XDG_CONFIG_HOME/ambrevoli/Ambrevoli.conf
atspi() { "$here/settings_atspi.py" "$1" "Ambrevoli Settings" "${@:2}"; }
checks="Check for updates automatically" downloads="Automatically download and install updates"
atspi act "$checks" Toggle || fail "no Toggle for \"$checks\""
atspi state "$checks" -checked || fail "\"$checks\" stayed on"
atspi state "$downloads" -sensitive || fail "\"$downloads\" is still usable with checks off"
check_wait_until 10 grep -qx 'automaticallyChecksForUpdates=false' "$settings" ||
  fail "the updater was not told: $(cat "$settings" 2>/dev/null)"
atspi act "$checks" Toggle || fail "no Toggle for \"$checks\" the second time"
atspi state "$downloads" sensitive || fail "\"$downloads\" stayed off limits"
check_wait_until 10 grep -qx 'automaticallyChecksForUpdates=true' "$settings" ||
  fail "the updater was not told it checks again: $(cat "$settings")"

mkdir "$HOME/Music"
"$host" --add-destination "$HOME/Music" || fail "Music was not handed to the running host"
atspi focus "Music" || fail "the name field holding Music took no focus"
atspi act "Remove" Press || fail "Remove was not there to press"
check_wait_until 30 sh -c '! grep -q "/Music" "$1"' _ "$file" ||
  fail "Remove did not remove Music: $(cat "$file")"
grep -q '"Holiday Pictures"' "$file" || fail "Remove took more than the selection: $(cat "$file")"

# Quit from the menu's shortcut while a copy is under way: the copy is finished, not abandoned.
# Twenty thousand files take the host seconds to copy, long enough to quit in the middle.
count=20000
/usr/bin/python3 - "$work/Many" $count <<'PY'
import os, sys
os.mkdir(sys.argv[1])
for i in range(int(sys.argv[2])):
    open(os.path.join(sys.argv[1], f"f{i}"), "w").close()
PY
"$send" --to "Holiday Pictures" "$work/Many" || fail "the send was refused"
check_wait_until 30 grep -q 'is valid: 1 items found' "$work/host.log" || true
xdotool key --clearmodifiers ctrl+q
check_wait_until 120 check_ended $running || fail "the host did not quit"
wait $running || fail "the host quit with status $?"
quit=$(grep -n 'Quitting on Quit Ambrevoli' "$work/host.log" | cut -d: -f1)
copied=$(grep -n 'Copied 1 of 1 items' "$work/host.log" | cut -d: -f1)
[[ -n $quit ]] || fail "Quit Ambrevoli was not chosen"
[[ -n $copied ]] || fail "the copy was not reported"
((quit < copied)) || fail "the copy was over before Quit; nothing was under way"
[[ $(find "$HOME/Photos/Many" -type f | wc -l) == "$count" ]] ||
  fail "the copy was not finished: $(find "$HOME/Photos" -maxdepth 1)"
[[ -z $(find "$HOME/Photos" -name '.ambrevoli-copy-*') ]] || fail "a temporary item was left"
echo "The settings window opened, the destination was renamed through its name field, a switch"
echo "and a button worked through the accessibility bus, and Quit waited for the copy under way."
