#!/usr/bin/env bash
# "Restart Files" against a real GNOME Files: runs files_restart_check (see there) in a mount
# namespace where Files' extension folder is an empty folder of this check's own (a bind mount, as
# the GNOME Files check stages its module, so the system's folder is untouched), in a PID
# namespace of its own, on Xvfb with a private session bus.
#
# Usage: files_restart_check.sh <files_restart_check program>
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

# shellcheck source=tests/desktop_check.bash
source "$(dirname "$0")/../../../tests/desktop_check.bash"

extensiondir=$(pkg-config --variable=extensiondir libnautilus-extension-4)

case ${1-} in
--inside)
  work=$2 check=$3
  mount --bind "$work/extensions" "$extensiondir"
  check_start_xvfb fail
  check_user_env
  export GDK_BACKEND=x11 GSK_RENDERER=cairo GSETTINGS_BACKEND=memory AMBREVOLI_FILES_RESTART_CHECK=1
  dbus-run-session -- "$check"
  exit
  ;;
esac

check=${1:?usage: files_restart_check.sh <files_restart_check program>}
check_root "bind a folder over Files' extension folder in a mount namespace"
check_tools nautilus Xvfb dbus-run-session unshare setpriv
check_uninstrumented "$check" "built with AddressSanitizer, whose module an uninstrumented Files cannot load"
check_namespaces

check_make_work files-restart
mkdir "$work/extensions"
check_rerun_in_namespaces --inside "$work" "$check"
