# A throwaway desktop session for scripts that run the real programs: the demo and the
# benchmarks. Source it, then call session_begin first.
#
# Everything lives in one temporary folder: its own HOME, XDG data/config/cache/state/runtime
# folders and (session_start_bus) a private session bus, so nothing reaches the user's files,
# their desktop session or their notification server. Every program started through this file
# is ended, and the folder removed, when the script exits — normally, on an error (set -e) or on
# Ctrl-C. Should the script be killed outright (SIGKILL), the programs still end; only the folder
# stays.
#
# Functions report problems on stderr and return non-zero; they never exit the script themselves.

session_pids=()
session_dir=
session_host_pid=
session_spawned=

session_cleanup() {
    local status=$?
    local i pid
    # Last started, first ended: the host before the notification server, the bus last.
    for ((i = ${#session_pids[@]} - 1; i >= 0; i--)); do
        pid=${session_pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    session_pids=()
    if [[ -n "$session_dir" && -d "$session_dir" ]]; then
        rm -rf "$session_dir"
    fi
    return "$status"
}

# Makes the temporary folder and points the environment at it. Sets session_dir.
session_begin() {
    session_dir=$(mktemp -d -t "${1:-ambrevoli}.XXXXXX") || return 1
    trap session_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    export HOME="$session_dir/home"
    export XDG_DATA_HOME="$HOME/.local/share"
    export XDG_CONFIG_HOME="$HOME/.config"
    export XDG_CACHE_HOME="$HOME/.cache"
    export XDG_STATE_HOME="$HOME/.local/state"
    export XDG_RUNTIME_DIR="$session_dir/run"
    mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
    # No display and no bus until this session provides its own: nothing reaches the user's.
    unset DISPLAY WAYLAND_DISPLAY XAUTHORITY
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$session_dir/no-session-bus"
    # The host logs to stderr (a file below) rather than the user's journal.
    export AMBREVOLI_LOG=stderr
}

# Remembers a program started in the background so that it is ended at exit.
session_track() {
    session_pids+=("$1")
}

# Starts "$@" in the background, to be ended at exit; sets session_spawned to its pid. The EXIT
# trap never runs when this shell is killed outright or crashes: then the kernel sends the
# program SIGTERM as its parent goes. That signal is armed before the program runs, and the
# parent checked after it was, in case the shell went in between.
session_spawn() {
    local shell=$BASHPID
    setpriv --pdeathsig TERM -- sh -c '[ "$PPID" = "$0" ] || exit 1; exec "$@"' "$shell" "$@" &
    session_spawned=$!
    session_track "$session_spawned"
}

# Waits up to $1 seconds for the command that follows to succeed.
session_wait_for() {
    local seconds=$1
    shift
    local tries=$((seconds * 20))
    while ((tries-- > 0)); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# Starts a session bus with nothing on it that could be started on demand, and exports its
# address as DBUS_SESSION_BUS_ADDRESS.
session_start_bus() {
    command -v dbus-daemon >/dev/null || {
        echo "dbus-daemon is not installed" >&2
        return 1
    }
    local config="$session_dir/bus.conf"
    # No <servicedir>: whatever is installed, nothing on this bus is activated on demand.
    cat >"$config" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$session_dir</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    session_spawn dbus-daemon --config-file="$config" --nofork --print-address=3 \
        3>"$session_dir/bus.address" 2>"$session_dir/bus.log"
    if ! session_wait_for 10 test -s "$session_dir/bus.address"; then
        echo "dbus-daemon didn't start: $(cat "$session_dir/bus.log")" >&2
        return 1
    fi
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$session_dir/bus.address")
    export DBUS_SESSION_BUS_ADDRESS
}

# Starts a notification server on the session bus: dunst on a virtual X display of its own. The
# display is given to dunst only; the host keeps running without one. Call after
# session_start_bus.
session_start_notification_server() {
    local tool
    for tool in Xvfb dunst dunstctl busctl jq; do
        command -v "$tool" >/dev/null || {
            echo "$tool is not installed" >&2
            return 1
        }
    done
    # Xvfb picks a free display and writes its number to the descriptor given.
    session_spawn Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 \
        3>"$session_dir/display" 2>"$session_dir/xvfb.log"
    if ! session_wait_for 10 test -s "$session_dir/display"; then
        echo "Xvfb didn't start: $(tail -n 3 "$session_dir/xvfb.log")" >&2
        return 1
    fi
    # Each send gets a notification of its own, even when two read alike.
    mkdir -p "$XDG_CONFIG_HOME/dunst"
    printf '[global]\n    stack_duplicates = false\n' >"$XDG_CONFIG_HOME/dunst/dunstrc"
    session_spawn env DISPLAY=":$(head -n 1 "$session_dir/display")" dunst \
        2>"$session_dir/dunst.log"
    if ! session_wait_for 10 dunstctl is-paused >/dev/null 2>&1; then
        echo "dunst didn't start: $(tail -n 3 "$session_dir/dunst.log")" >&2
        return 1
    fi
}

# The notifications dunst received, oldest first, as JSON lines {"summary": …, "body": …}.
# Closes them first, since dunst's history holds only closed notifications. Waits up to 10
# seconds until at least $1 have arrived.
session_notifications() {
    local expected=$1
    session_wait_for 10 _session_notifications_arrived "$expected" || true
    dunstctl close-all
    session_wait_for 10 _session_history_holds "$expected" || true
    dunstctl history |
        jq -c '.data[0] | sort_by(.id.data) | .[] | {summary: .summary.data, body: .body.data}'
}

_session_notifications_arrived() {
    local total=0 kind
    for kind in displayed waiting history; do
        total=$((total + $(dunstctl count "$kind")))
    done
    ((total >= $1))
}

_session_history_holds() {
    (($(dunstctl count history) >= $1))
}

# Starts the host at $1 (an absolute path) in the background, its log going to $2, and waits
# until it listens for work. Sets session_host_pid and exports AMBREVOLI_HOST.
session_start_host() {
    local host=$1 log=$2
    # Senders start this same host when none runs.
    export AMBREVOLI_HOST="$host"
    session_spawn "$host" --background 2>"$log"
    session_host_pid=$session_spawned
    session_wait_for 10 _session_host_ready "$log"
    if ! grep -qs "Ambrevoli started" "$log"; then
        echo "the host didn't start. Its log:" >&2
        cat "$log" >&2
        return 1
    fi
}

# Done waiting: the host listens for work, or it ended.
_session_host_ready() {
    grep -qs "Ambrevoli started" "$1" || ! session_host_running
}

# Succeeds when `$1 --list` (ambrevoli-send) lists a destination labelled $2.
session_destination_listed() {
    "$1" --list 2>/dev/null | cut -f 1 | grep -qxF "$2"
}

# Succeeds while the host started by session_start_host runs. A sender that found no host
# would start a new one that this session does not know about.
session_host_running() {
    kill -0 "$session_host_pid" 2>/dev/null
}
