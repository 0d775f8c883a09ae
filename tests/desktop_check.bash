# What the checks in real desktop programs share: the file managers' checks, the settings window's
# checks on X and on Wayland, the Restart Files check. Source it first thing; it defines skip and
# fail, the usual conditions under which a check cannot run, the check's own folder, the virtual
# display and the wait for a module's log lines.
#
# A check runs in up to three stages, each a new run of the script: as ctest starts it (checks
# what it needs, makes its folder, stages the build), inside namespaces of its own (the mounts and
# the display) and on a private session bus. Its folder ($work) is handed from one stage to the
# next; whatever a stage starts through this file ends with that stage.

# Ends the check as skipped (77), saying why.
skip() {
  echo "SKIP: $*"
  exit 77
}

# The output of the program under check, in $work, shown when the check fails; and its title.
check_log_name=
check_log_title=

# How a failed check shows that output; a check whose log holds noise replaces it.
check_show_log() {
  cat -v "$1"
}

# Ends the check as failed, saying why and showing the program's output.
fail() {
  echo "FAIL: $*"
  if [[ -n ${work-} && -n $check_log_name && -f $work/$check_log_name ]]; then
    echo "--- $check_log_title:"
    check_show_log "$work/$check_log_name"
  fi
  exit 1
}

# Skips unless every program named is installed.
check_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
  done
}

# Skips unless Python can drive the accessibility bus.
check_atspi_bindings() {
  /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    skip "the accessibility bindings (python3-gi, gir1.2-atspi-2.0) are not installed"
}

# The Dolphin plugin build $1 made: the one file in its plugins/kf<N>/kfileitemaction (KF5 or KF6,
# whichever KIO the build found). Fails (status 1) when the build has none.
check_dolphin_plugin() {
  local built
  built=$(compgen -G "$1/dolphin_plugin/plugins/kf[0-9]/kfileitemaction/ambrevoli-dolphin.so") || return 1
  echo "${built%%$'\n'*}"
}

# The kf<N> folder name of the plugin file $1 (kf5 or kf6), which also says its Qt's major version.
check_dolphin_kf() {
  local folder=${1%/kfileitemaction/*}
  echo "${folder##*/}"
}

# Where the Qt that goes with kf<N> ($1) loads plugins from, as that Qt's own qmake names it.
# Fails (status 1) when that qmake is not installed.
check_qt_plugin_folder() {
  case $1 in
  kf5) /usr/lib/qt5/bin/qmake -query QT_INSTALL_PLUGINS 2>/dev/null ;;
  kf6) /usr/lib/qt6/bin/qmake6 -query QT_INSTALL_PLUGINS 2>/dev/null ;;
  *) return 1 ;;
  esac
}

# Skips unless this runs as root, which the check needs "to $1".
check_root() {
  [[ $(id -u) -eq 0 ]] || skip "needs root, to $1"
}

# Skips, saying $2, when the binary $1 is built with AddressSanitizer: an uninstrumented program
# cannot load it, and one run per CI run is enough for a check of the desktop.
check_uninstrumented() {
  [[ $(ldd "$1") != *libasan* ]] || skip "$2"
}

# Skips unless mount and PID namespaces can be made here (check_rerun_in_namespaces).
check_namespaces() {
  unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null ||
    skip "cannot make mount and PID namespaces here"
}

# Runs this script again with the arguments given, in a mount namespace and a PID namespace of its
# own, and exits with its status. The new run is the namespace's first process: when it ends,
# whatever the session started ends with it. unshare kills that process when it goes itself
# (--kill-child), and the kernel ends unshare when this script goes, even killed outright
# (SIGKILL, where no trap runs): the signal is armed first, then the parent checked, in case this
# script went in between.
check_rerun_in_namespaces() {
  local status=0
  setpriv --pdeathsig KILL -- sh -c '[ "$PPID" = "$0" ] || exit 1; exec "$@"' $$ \
    unshare --mount --pid --fork --kill-child --mount-proc --propagation private -- \
    "$0" "$@" || status=$?
  exit $status
}

# Where it can, becomes this script again with the same arguments in a PID namespace of its own
# (and so never returns): whatever the check starts ends with it, however it ends. Needs no root
# where the system lets users make namespaces; elsewhere the check runs as it is.
check_own_pid_namespace() {
  if [[ -z ${AMBREVOLI_CHECK_NAMESPACE-} ]] &&
    unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    AMBREVOLI_CHECK_NAMESPACE=1 exec unshare --pid --fork --mount-proc --kill-child "$0" "$@"
  fi
}

check_pids=()
check_owns_work=

# Ends what this stage started, last first, and removes the check's folder where this stage made
# it.
check_cleanup() {
  local status=$?
  local i pid
  for ((i = ${#check_pids[@]} - 1; i >= 0; i--)); do
    pid=${check_pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    check_wait_until 5 check_ended "$pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  check_pids=()
  if [[ -n $check_owns_work && -d $work ]]; then
    # The session's services (gvfsd-metadata) may still write into the home folder for a moment
    # after the bus has gone.
    for _ in $(seq 50); do rm -rf "$work" 2>/dev/null && return "$status"; sleep 0.1; done
    echo "could not remove $work"
  fi
  return "$status"
}
trap check_cleanup EXIT

check_ended() {
  ! kill -0 "$1" 2>/dev/null
}

# Ends the process $1 when this stage ends.
check_end_at_exit() {
  check_pids+=("$1")
}

# Makes the check's folder /tmp/ambrevoli-$1-XXXXXX, with its user's home and runtime folders,
# sets work to it and removes it when this stage ends.
check_make_work() {
  work=$(mktemp -d "/tmp/ambrevoli-$1-XXXXXX")
  check_owns_work=1
  mkdir -p "$work/home" "$work/run"
  chmod 700 "$work/run"
}

# Makes a throwaway root in the folder $1 and sets root to it: an overlay of / whose changes go to
# a tmpfs ($1/upper), with the machine's /dev, a /proc of its own and an empty /tmp. Run it in the
# check's own mount namespace (check_rerun_in_namespaces): the mounts, and every change made in
# the root, end with it. Skips where / cannot be overlaid.
check_overlay_root() {
  local layers=$1
  mkdir -p "$layers"
  mount -t tmpfs -o mode=755 ambrevoli-layers "$layers"
  mkdir "$layers/upper" "$layers/work" "$layers/root"
  root=$layers/root
  mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root" \
    2>"$layers/overlay.log" || skip "cannot mount an overlay of / here: $(cat "$layers/overlay.log")"
  mount --rbind /dev "$root/dev"
  mount -t proc proc "$root/proc"
  mount -t tmpfs -o mode=1777 ambrevoli-tmp "$root/tmp"
}

# Installs the build $1 into $work/stage, as a package would install it into /usr.
check_stage() {
  DESTDIR=$work/stage cmake --install "$1" --prefix /usr >"$work/install.log"
}

# The user's world every file manager's check sends from: two files in ~/src, a destination
# "Photos_2024" ($work/dest) and a destination "Gone" whose folder does not exist.
check_make_send_world() {
  mkdir -p "$work/home/src" "$work/home/.local/share/ambrevoli" "$work/dest"
  echo one >"$work/home/src/a.txt"
  echo two >"$work/home/src/b.txt"
  cat >"$work/home/.local/share/ambrevoli/destinations.json" <<JSON
{"version": 1, "destinations": [
  {"id": "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F", "label": "Photos_2024", "path": "$work/dest"},
  {"id": "0B8D7C4A-52E1-4F0B-A1C3-9D8E7F6A5B4C", "label": "Gone", "path": "$work/gone"}]}
JSON
}

# Succeeds once the host copied both files of the send world into its destination.
check_sent_files_arrived() {
  [[ $(cat "$work/dest/a.txt" 2>/dev/null) == one && $(cat "$work/dest/b.txt" 2>/dev/null) == two ]]
}

# Starts a virtual X display, ended with this stage, and exports DISPLAY. When it does not start,
# the check ends through $1: fail, or skip where a missing display only means it cannot run.
check_start_xvfb() {
  local verdict=$1
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  check_end_at_exit $!
  check_wait_until 10 test -s "$work/display" ||
    "$verdict" "Xvfb did not start: $(cat "$work/xvfb.log")"
  DISPLAY=:$(head -n1 "$work/display")
  export DISPLAY
}

# Points the user's folders at $work and unsets what would tie a start to another session's.
check_user_env() {
  export HOME=$work/home XDG_RUNTIME_DIR=$work/run
  export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
  unset XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID
}

# Waits up to $1 seconds, looking ten times a second, for the command that follows to succeed.
check_wait_until() {
  local tries=$(($1 * 10))
  shift
  while ((tries-- > 0)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# The program whose module is checked: its pid, its name in failures, its output and the
# subsystem of the module's log lines (check_watch_module).
check_program_pid=
check_program_name=
check_program_log=
check_module_subsystem=

# Follows the program $2 (a pid; named $1 in failures) writing its output to $3, whose module logs
# lines tagged "$4[extension] ". The program ends with this stage.
check_watch_module() {
  check_program_name=$1 check_program_pid=$2 check_program_log=$3 check_module_subsystem=$4
  check_end_at_exit "$check_program_pid"
}

# The module's log lines so far, without their tag.
extension_lines() {
  grep -a "^$check_module_subsystem\[extension\] " "$check_program_log" |
    sed "s/^$check_module_subsystem\[extension\] //"
}

# Waits up to $2 tenths of a second for a log line matching $1 (an extended regular expression,
# the whole line); fails when the program ends first.
has_line() {
  for _ in $(seq "$2"); do
    extension_lines | grep -Ex -- "$1" >/dev/null && return 0
    kill -0 "$check_program_pid" 2>/dev/null || fail "$check_program_name ended"
    sleep 0.1
  done
  return 1
}

# Fails unless a log line matching $1 shows within a minute.
wait_for_line() {
  has_line "$1" 600 || fail "no line like '$1'"
}
