#!/usr/bin/env bash
# "Restart Files" against a real GNOME Files: runs files_restart_check (see there) in a mount
# namespace where Files' extension folder is an empty folder of this check's own (a bind mount, as
# the GNOME Files check stages its module, so the system's folder is untouched), in a PID
# namespace of its own, on Xvfb with a private session bus.
#
# Usage: files_restart_check.sh <files_restart_check program>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

skip() {
  echo "SKIP: $*"
  exit 77
}

extensiondir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

case ${1-} in
--inside)
  work=$2 check=$3
  mount --bind "$work/extensions" "$extensiondir"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  trap 'kill $xvfb 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [[ -s $work/display ]] && break; sleep 0.1; done
  [[ -s $work/display ]] || { echo "FAIL: Xvfb did not start: $(cat "$work/xvfb.log")"; exit 1; }
  export DISPLAY=:$(head -n1 "$work/display")
  export HOME=$work/home XDG_RUNTIME_DIR=$work/run
  export XDG_DATA_HOME=$HOME/.local/share XDG_CONFIG_HOME=$HOME/.config XDG_CACHE_HOME=$HOME/.cache
  export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory AMBREVOLI_FILES_RESTART_CHECK=1
  unset XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID
  dbus-run-session -- "$check"
  exit
  ;;
esac

check=${1:?usage: files_restart_check.sh <files_restart_check program>}
[[ $(id -u) -eq 0 ]] || skip "needs root, to bind a folder over Files' extension folder in a mount namespace"
for tool in nautilus Xvfb dbus-run-session unshare setpriv; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
done
if [[ $(ldd "$check") == *libasan* ]]; then
  skip "built with AddressSanitizer, whose module an uninstrumented Files cannot load"
fi
unshare --mount --pid --fork --mount-proc --propagation private true 2>/dev/null ||
  skip "cannot make mount and PID namespaces here"

work=$(mktemp -d /tmp/ambrevoli-files-restart-XXXXXX)
# Files' helpers (gvfsd-metadata) may still write into the home folder for a moment after the bus
# has gone.
cleanup() {
  for _ in $(seq 50); do rm -rf "$work" 2>/dev/null && return; sleep 0.1; done
  echo "could not remove $work"
}
trap cleanup EXIT
mkdir -p "$work/extensions" "$work/home" "$work/run"
chmod 700 "$work/run"

# Whatever the session started ends with the PID namespace, also when this script is killed
# outright (see nautilus_check.sh).
status=0
setpriv --pdeathsig KILL -- sh -c '[ "$PPID" = "$0" ] || exit 1; exec "$@"' $$ \
  unshare --mount --pid --fork --kill-child --mount-proc --propagation private -- \
  "$0" --inside "$work" "$check" || status=$?
exit $status
