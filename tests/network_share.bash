# A real network share for checks and benchmarks, mounted through GIO's backend and reached
# through its FUSE bridge, the way the desktop mounts "sftp://server/folder" or
# "smb://server/share": OpenSSH's sshd, or Samba's smbd, on 127.0.0.1 on a free port. Source it
# after tests/desktop_check.bash, which it uses for skip, fail, the waits and ending what it
# starts; set share_protocol to sftp (the default) or smb first.
#
# The server runs as root from the check's folder ($share_dir), with its configuration there and
# nothing of the system's read or written: sshd with a throwaway host key and a user key that
# reaches the client through an agent of the check's own (so no ~/.ssh of anyone's is used), smbd
# with its state folders there and a guest share whose files are root's. The mount needs a
# session bus (dbus-run-session) and the user's environment pointed at the check's folders
# (check_user_env) first.
#
#   share_check_tools             skips where the server, GIO's backend or FUSE are missing
#   share_start_server DIR        the server sharing DIR (made when missing) on 127.0.0.1
#   share_stop_server             kills it and the session serving the mount, as a crash would
#   share_restart_server          starts it again on the same port
#   share_mount                   mounts the share with gio mount; sets share_path to DIR's
#                                 local path under $XDG_RUNTIME_DIR/gvfs
#   share_location                the share's URI (sftp://… or smb://…), as GIO names it

# shellcheck disable=SC2154 # work: the check's folder, as tests/desktop_check.bash has it

share_protocol=${share_protocol:-sftp}
share_dir=
share_port=
share_root=
share_server_pid=
share_path=

share_check_tools() {
  check_root "run the share's server, which serves root's files"
  check_tools gio dbus-run-session
  [[ -x /usr/libexec/gvfsd && -x /usr/libexec/gvfsd-fuse ]] ||
    skip "GIO's FUSE bridge is not installed (gvfs-fuse; scripts/install-deps installs it)"
  case $share_protocol in
  sftp)
    check_tools /usr/sbin/sshd ssh ssh-keygen ssh-agent ssh-add
    [[ -x /usr/libexec/gvfsd-sftp ]] ||
      skip "GIO's SFTP backend is not installed (gvfs-backends; scripts/install-deps installs it)"
    ;;
  smb)
    check_tools smbd
    [[ -x /usr/libexec/gvfsd-smb ]] ||
      skip "GIO's SMB backend is not installed (gvfs-backends; scripts/install-deps installs it)"
    ;;
  *) fail "unknown share protocol $share_protocol" ;;
  esac
  { : </dev/fuse; } 2>/dev/null || skip "/dev/fuse cannot be opened here"
}

# A TCP port on 127.0.0.1 nobody listens on now.
share_free_port() {
  /usr/bin/python3 -c '
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# The server's configuration (and for SFTP its keys and the agent) in $work/share.
share_prepare() {
  share_dir=$work/share
  mkdir -p "$share_dir"
  share_port=$(share_free_port)
  case $share_protocol in
  sftp) share_prepare_sftp ;;
  smb) share_prepare_smb ;;
  esac
}

share_prepare_sftp() {
  ssh-keygen -q -t ed25519 -N '' -f "$share_dir/host_key" -C ambrevoli-check-host
  ssh-keygen -q -t ed25519 -N '' -f "$share_dir/user_key" -C ambrevoli-check-user
  cp "$share_dir/user_key.pub" "$share_dir/authorized_keys"
  cat >"$share_dir/sshd_config" <<CONF
ListenAddress 127.0.0.1
Port $share_port
HostKey $share_dir/host_key
AuthorizedKeysFile $share_dir/authorized_keys
StrictModes no
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PidFile none
Subsystem sftp internal-sftp
CONF
  # sshd wants its privilege separation folder, which only its service would make.
  mkdir -p /run/sshd
  # The SFTP backend's ssh finds the key through the environment gvfsd passes on.
  export SSH_AUTH_SOCK=$share_dir/agent.socket
  ssh-agent -D -a "$SSH_AUTH_SOCK" >"$share_dir/agent.log" 2>&1 &
  check_end_at_exit $!
  check_wait_until 10 test -S "$SSH_AUTH_SOCK" ||
    fail "ssh-agent did not start: $(cat "$share_dir/agent.log")"
  ssh-add -q "$share_dir/user_key" 2>>"$share_dir/agent.log" ||
    fail "ssh-add failed: $(cat "$share_dir/agent.log")"
}

share_prepare_smb() {
  local folder
  for folder in private lock state cache pid ncalrpc; do mkdir -p "$share_dir/$folder"; done
  # The share is "share", for guests, its files root's; the server's whole state stays here.
  cat >"$share_dir/smb.conf" <<CONF
[global]
  interfaces = lo
  bind interfaces only = yes
  smb ports = $share_port
  private dir = $share_dir/private
  lock directory = $share_dir/lock
  state directory = $share_dir/state
  cache directory = $share_dir/cache
  pid directory = $share_dir/pid
  ncalrpc dir = $share_dir/ncalrpc
  log file = $share_dir/smbd.%m.log
  disable netbios = yes
  server role = standalone server
  map to guest = Bad User
  load printers = no
  printing = bsd
  printcap name = /dev/null
  disable spoolss = yes
  # A share on a file system without extended attributes (the FAT folder some checks put in
  # it) is refused outright where the server keeps DOS attributes in them.
  store dos attributes = no
  ea support = no
[share]
  path = SHARE_ROOT
  read only = no
  guest ok = yes
  force user = root
CONF
}

share_listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$share_port") 2>/dev/null
}

share_not_listening() {
  ! share_listening
}

# Starts the server sharing the folder $1 (an absolute path; made when missing).
share_start_server() {
  share_root=$1
  [[ -n $share_dir ]] || share_prepare
  mkdir -p "$share_root"
  case $share_protocol in
  sftp)
    /usr/sbin/sshd -D -e -f "$share_dir/sshd_config" >>"$share_dir/server.log" 2>&1 &
    ;;
  smb)
    sed -i "s|^  path = .*|  path = $share_root|; s|SHARE_ROOT|$share_root|" "$share_dir/smb.conf"
    # In a process group of its own: when it ends, smbd signals its whole group.
    setsid smbd --foreground --no-process-group --debug-stdout -d 1 -s "$share_dir/smb.conf" \
      >>"$share_dir/server.log" 2>&1 &
    ;;
  esac
  share_server_pid=$!
  check_end_at_exit "$share_server_pid"
  check_wait_until 20 share_listening ||
    fail "the $share_protocol server did not listen on port $share_port: $(cat "$share_dir/server.log")"
}

# Stops the server as a crash or a pulled cable would: the listener and the sessions serving the
# mount (its descendants, which outlive it otherwise), all killed outright.
share_stop_server() {
  local sessions
  # All of them, found before any is killed: OpenSSH 9.8 and later serve a session from a child
  # of the listener's child, and an orphan can no longer be told from other processes.
  sessions=$(share_descendants "$share_server_pid")
  # shellcheck disable=SC2086 # one pid a word
  kill -KILL "$share_server_pid" $sessions 2>/dev/null || true
  wait "$share_server_pid" 2>/dev/null || true
  check_wait_until 10 share_not_listening || fail "the server still listens on port $share_port"
}

share_descendants() {
  local child
  for child in $(pgrep -P "$1" || true); do
    echo "$child"
    share_descendants "$child"
  done
}

share_restart_server() {
  share_start_server "$share_root"
}

share_location() {
  case $share_protocol in
  sftp) echo "sftp://root@127.0.0.1:$share_port$share_root" ;;
  smb) echo "smb://127.0.0.1:$share_port/share" ;;
  esac
}

# The name GIO's FUSE bridge gives the mount, as an extended regular expression.
share_mount_name() {
  case $share_protocol in
  sftp) echo "^sftp:host=127\.0\.0\.1,port=$share_port(,.*)?$" ;;
  smb) echo "^smb-share:(.*,)?port=$share_port,.*share=share(,.*)?$" ;;
  esac
}

# Starts GIO's daemon (which starts its FUSE bridge at $XDG_RUNTIME_DIR/gvfs) once, mounts the
# share and sets share_path to the shared folder's local path.
share_mount() {
  local fuse=$XDG_RUNTIME_DIR/gvfs mounted="" entry
  if [[ -z ${share_gvfsd_pid-} ]]; then
    /usr/libexec/gvfsd --replace >"$work/gvfsd.log" 2>&1 &
    share_gvfsd_pid=$!
    check_end_at_exit "$share_gvfsd_pid"
    check_wait_until 20 mountpoint -q "$fuse" ||
      fail "GIO's FUSE bridge did not mount $fuse: $(cat "$work/gvfsd.log")"
  fi
  local anonymous=()
  [[ $share_protocol == smb ]] && anonymous=(--anonymous)
  # GIO's SMB backend keeps its mount while the server is away, and reconnects.
  timeout 60 gio mount "${anonymous[@]}" "$(share_location)" </dev/null >"$work/gio-mount.log" 2>&1 ||
    grep -q "already mounted" "$work/gio-mount.log" ||
    fail "gio mount $(share_location) failed: $(cat "$work/gio-mount.log")"
  for entry in "$fuse"/*; do
    [[ ${entry##*/} =~ $(share_mount_name) ]] && mounted=${entry##*/} && break
  done
  [[ -n $mounted ]] || fail "no FUSE path for the share under $fuse: $(ls "$fuse")"
  case $share_protocol in
  sftp) share_path=$fuse/$mounted$share_root ;;
  smb) share_path=$fuse/$mounted ;;
  esac
  check_wait_until 10 test -d "$share_path" || fail "$share_path does not show the shared folder"
}
