#!/usr/bin/env bash
# Sends to and from a real network share: OpenSSH's sshd or Samba's smbd on 127.0.0.1, mounted
# through GIO's backend and its FUSE bridge in a private session (tests/network_share.bash), with
# the real host and ambrevoli-send. Files and a tree (over SFTP with links, one leading out of the
# copy to a file on the server that must stay untouched) arrive on the server whole; a taken name is
# numbered; a name the server's file system refuses (a FAT folder on the server) gets its
# sentence; items selected on the share arrive in a local folder; the server stopped in the
# middle of a slow copy gives a truthful report and leaves the cut-off temporary on the server,
# a send meanwhile finds the destination missing (SFTP) or unreachable (SMB), and the first send
# after the server is back removes that temporary.
#
# Usage: share_check.sh <build folder> sftp|smb
# Exits 77 (skipped) where it cannot run, saying why.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/desktop_check.bash
source "$here/../../tests/desktop_check.bash"
# shellcheck source=tests/network_share.bash
source "$here/../../tests/network_share.bash"
check_log_name=host.log check_log_title="The host's log"

case ${1-} in
--inside)
  # In the private mount namespace: the FAT folder on the server, a FUSE mount that ends with it.
  work=$2 share_protocol=$3
  mkdir -p "$work/server/share/Stick"
  truncate -s 64M "$work/fat.img"
  mkfs.fat -F 32 "$work/fat.img" >/dev/null
  fusefat -o rw+ "$work/fat.img" "$work/server/share/Stick" >"$work/fusefat.log" 2>&1 ||
    skip "fusefat cannot mount a FAT image here: $(cat "$work/fusefat.log")"
  status=0
  dbus-run-session -- "$0" --session "$work" "$share_protocol" || status=$?
  umount -l "$work/server/share/Stick" 2>/dev/null || true
  exit $status
  ;;
--session)
  work=$2 share_protocol=$3
  build=$(cat "$work/build")
  ;;
*)
  build=$(cd "${1:?usage: share_check.sh <build folder> sftp|smb}" && pwd)
  share_protocol=${2:?usage: share_check.sh <build folder> sftp|smb}
  share_check_tools
  check_tools mkfs.fat fusefat unshare setpriv jq gdbus
  /usr/bin/python3 -c 'from gi.repository import Gio' 2>/dev/null ||
    skip "python3-gi, which the notification log needs, is not installed"
  [[ -x $build/shared_kit/slow_source_fs ]] || skip "slow_source_fs was not built (libfuse3 is missing)"
  check_uninstrumented "$build/Ambrevoli/ambrevoli" \
    "the copy engine's sanitizer run is its own tests; one run against a real server is enough"
  check_namespaces
  check_make_work "$share_protocol"
  echo "$build" >"$work/build"
  check_rerun_in_namespaces --inside "$work" "$share_protocol"
  ;;
esac

# On the private session bus.
check_user_env
export AMBREVOLI_LOG=stderr AMBREVOLI_LOG_PRIVATE=1 AMBREVOLI_HOST=$build/Ambrevoli/ambrevoli
send=$build/tools/ambrevoli-send
server=$work/server/share

share_start_server "$server"
share_mount
mkdir -p "$server/Inbox" "$work/local"

# What the host tells the user, read from a notification server of the check's own.
"$here/../../tests/notification_log.py" "$work/notifications" 2>"$work/notification_log.log" &
check_end_at_exit $!
timeout 10 gdbus wait --session org.freedesktop.Notifications ||
  fail "the notification log did not start: $(cat "$work/notification_log.log")"
touch "$work/notifications"

"$AMBREVOLI_HOST" --background 2>"$work/host.log" &
check_end_at_exit $!
check_wait_until 30 grep -qs "Ambrevoli started" "$work/host.log" || fail "the host did not start"
for folder in "$share_path/Inbox" "$share_path/Stick" "$work/local"; do
  "$AMBREVOLI_HOST" --add-destination "$folder" 2>>"$work/host.log" || fail "could not add $folder"
done
listed() { [[ $("$send" --list 2>/dev/null | cut -f1 | sort | tr '\n' ' ') == "Inbox Stick local " ]]; }
check_wait_until 10 listed || fail "the destinations were not added: $("$send" --list 2>&1)"

# The items sent: two files and a tree holding a link.
src=$HOME/src
mkdir -p "$src/tree/deep/er"
echo one >"$src/a.txt"
head -c $((3 << 20)) /dev/urandom >"$src/b.bin"
echo leaf >"$src/tree/deep/er/leaf.txt"
head -c 100000 /dev/urandom >"$src/tree/deep/data.bin"
if [[ $share_protocol == sftp ]]; then
  ln -s deep/er/leaf.txt "$src/tree/leaf-link"
  # A link to a file on the server outside the copy, which the copy must leave as it is.
  echo kept >"$server/kept.txt"
  touch -d 2001-01-01 "$server/kept.txt"
  ln -s "$server/kept.txt" "$src/tree/kept-link"
fi
echo refused >"$src/what?.txt"

# The notifications that tell a copy's result, as "title|body" lines; progress is left out.
results() { jq -r 'select(.summary | startswith("Copying ") | not) | .summary + "|" + .body' "$work/notifications"; }
result_count() { results | wc -l; }
more_results_than() { [[ $(result_count) -gt $1 ]]; }
# After a send: waits for its result notification and sets $title and $body from it.
read_result() {
  check_wait_until 10 more_results_than "$1" || fail "no notification told the result: $report"
  local line
  line=$(results | tail -n1)
  title=${line%%|*} body=${line#*|}
}

# Runs ambrevoli-send --wait with the arguments given: its report in $report, its status in
# $status, the notification's $title and $body.
send_wait() {
  local before
  before=$(result_count)
  status=0
  report=$("$send" --wait "$@" 2>&1) || status=$?
  read_result "$before"
}
temporaries() { find "$1" -name '.ambrevoli-*' 2>/dev/null; }

# Files and a tree arrive whole on the server.
send_wait --to Inbox "$src/a.txt" "$src/b.bin" "$src/tree"
[[ $status -eq 0 ]] || fail "the send to the share failed ($status): $report"
for item in a.txt b.bin tree; do
  diff -r --no-dereference "$src/$item" "$server/Inbox/$item" || fail "$item arrived changed: $report"
done
[[ $share_protocol != sftp || $(stat -c %y "$server/kept.txt") == 2001-01-01* ]] ||
  fail "copying a link changed what it points to: $(stat -c %y "$server/kept.txt")"
[[ -z $(temporaries "$server") ]] || fail "temporaries left on the server: $(temporaries "$server")"

# A taken name is numbered; the first copy is untouched.
echo changed >"$src/a.txt"
send_wait --to Inbox "$src/a.txt"
[[ $status -eq 0 ]] || fail "the second send failed ($status): $report"
[[ $(cat "$server/Inbox/a.txt") == one && $(cat "$server/Inbox/a 2.txt") == changed ]] ||
  fail "the taken name was not numbered: $(ls "$server/Inbox")"

# A name the server's file system refuses: the item's own sentence, the rest copied.
send_wait --to Stick "$src/what?.txt" "$src/a.txt"
# shellcheck disable=SC1111 # the notification's own quotation marks
[[ $status -eq 1 && $body == "“what?.txt” has a name this drive can't store." ]] ||
  fail "a refused name was reported as ($status): $body; $report"
[[ -f $server/Stick/a.txt && -z $(temporaries "$server/Stick") ]] ||
  fail "the FAT folder holds: $(ls -A "$server/Stick")"

# Items selected on the share, sent to a local folder by their FUSE paths. For a while after it
# made a link, the bridge lists it as a link it can't read (ENOSYS), even to the kernel that
# would follow it; later it shows it as what it leads to. A person selects it later.
if [[ $share_protocol == sftp ]]; then
  check_wait_until 20 test ! -L "$share_path/Inbox/tree/leaf-link" ||
    fail "the bridge still shows the link it made as a link it can't read"
fi
send_wait --to local "$share_path/Inbox/b.bin" "$share_path/Inbox/tree"
[[ $status -eq 0 ]] || fail "the send from the share failed ($status): $report"
cmp "$src/b.bin" "$work/local/b.bin" || fail "b.bin came back changed"
# The bridge shows a link that leads somewhere as what it leads to.
diff -r "$src/tree" "$work/local/tree" || fail "the tree came back changed"

# The server stops in the middle of a copy from a slow source (about 8 s for its 32 MiB).
mkdir "$work/slow"
"$build/shared_kit/slow_source_fs" "$work/slow" $((4 << 20)) big.bin=$((32 << 20)) \
  >"$work/slow.log" 2>&1 &
check_end_at_exit $!
check_wait_until 10 test -f "$work/slow/big.bin" || fail "the slow source did not mount: $(cat "$work/slow.log")"
before=$(result_count)
"$send" --wait --to Inbox "$src/a.txt" "$work/slow/big.bin" "$src/b.bin" >"$work/cut.out" 2>&1 &
cut=$!
cut_off_started() { [[ -n $(find "$server/Inbox" -maxdepth 1 -name '.ambrevoli-copy-*' -size +1M) ]]; }
check_wait_until 30 cut_off_started || fail "the slow copy never reached the server: $(cat "$work/cut.out")"
share_stop_server
status=0
wait "$cut" || status=$?
report=$(cat "$work/cut.out")
read_result "$before"
[[ $status -eq 1 ]] || fail "the cut-off send ended with $status: $report"
# shellcheck disable=SC1111 # the notification's own quotation marks
[[ $body == "Inbox couldn't be reached while “big.bin” was being copied. Check the connection to it and send the rest again. 1 more item couldn't be copied either." ]] ||
  fail "the cut-off send was told as: $title / $body"
# What was placed before the cut, and only that, counts as copied.
[[ $title == "Copied 1 of 3 items to Inbox" && -f $server/Inbox/a\ 3.txt ]] ||
  fail "the cut-off send's report does not match the server ($(ls -A "$server/Inbox")): $title"
cut_title=$title cut_body=$body
left=$(temporaries "$server/Inbox")
[[ -n $left ]] || echo "(the cut-off temporary was removed at once)"

# Meanwhile GIO's SFTP backend has unmounted the share, so the destination is missing; its SMB
# backend keeps the mount, which no longer answers.
send_wait --to Inbox "$src/a.txt"
case $share_protocol in
sftp) meanwhile="Ambrevoli can't find Inbox. If it's on a drive, connect the drive and send the items again." ;;
smb) meanwhile="Ambrevoli couldn't reach Inbox. Check the connection to it and send the items again." ;;
esac
[[ $status -eq 1 && $body == "$meanwhile" ]] ||
  fail "a send while the server is away was told as ($status): $title / $body"

# The server is back: the first send there removes what the cut left.
share_restart_server
share_mount
send_wait --to Inbox "$src/a.txt"
[[ $status -eq 0 ]] || fail "the send after the server came back failed ($status): $report"
[[ -z $(temporaries "$server") ]] || fail "temporaries left on the server: $(temporaries "$server")"

echo "Sent files, a tree and a numbered copy to the $share_protocol share, a refused name was named, items"
echo "on the share came back whole, and the server stopped mid-copy gave:"
echo "  $cut_title"
echo "  $cut_body"
echo "The cut-off temporary (${left:+kept until the server was back}) is gone after the next send."
