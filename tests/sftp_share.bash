# A real SFTP share for checks and benchmarks: OpenSSH's sshd on 127.0.0.1 with a throwaway host
# key and user key, mounted through GIO's SFTP backend and reached through its FUSE bridge, the
# way the desktop mounts "sftp://server/folder". Source it after tests/desktop_check.bash, which
# it uses for skip, fail, the waits and ending what it starts.
#
# The server runs as root (it serves root's login) from the check's folder: its keys, its
# configuration and the authorized key live in $share_dir, and the user key reaches the client
# through an agent of the check's own, so no ~/.ssh of anyone's is read or written. The mount
# needs a session bus (dbus-run-session or dbus-daemon) and the user's environment pointed at the
# check's folders (check_user_env) first.
#
#   share_check_tools                   skips where the server, GIO's backends or FUSE are missing
#   share_start_server DIR              sshd serving DIR (made when missing) on a free port
#   share_stop_server / share_restart_server
#   share_mount                         gio mount of sftp://root@127.0.0.1:PORT/DIR; sets share_path
#                                       to the mounted DIR's local path under $XDG_RUNTIME_DIR/gvfs
#   share_unmount

share_dir=
share_port=
share_root=
share_sshd_pid=
share_path=

share_check_tools() {
  check_tools /usr/sbin/sshd ssh ssh-keygen ssh-agent ssh-add gio dbus-run-session
  [[ -x /usr/libexec/gvfsd && -x /usr/libexec/gvfsd-fuse ]] ||
    skip "GIO's FUSE bridge is not installed (gvfs-fuse; scripts/install-deps installs it)"
  [[ -x /usr/libexec/gvfsd-sftp ]] ||
    skip "GIO's SFTP backend is not installed (gvfs-backends; scripts/install-deps installs it)"
  [[ -c /dev/fuse ]] && { : </dev/fuse; } 2>/dev/null || skip "/dev/fuse cannot be opened here"
  check_root "run sshd, which serves the check's login as root"
}

# A TCP port on 127.0.0.1 nobody listens on now.
share_free_port() {
  /usr/bin/python3 -c '
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Writes the keys and the server's configuration into $work/sftp, and starts an agent holding
# the user key (SSH_AUTH_SOCK), which the SFTP backend's ssh finds through the environment.
share_prepare() {
  share_dir=$work/sftp
  mkdir -p "$share_dir"
  ssh-keygen -q -t ed25519 -N '' -f "$share_dir/host_key" -C ambrevoli-check-host
  ssh-keygen -q -t ed25519 -N '' -f "$share_dir/user_key" -C ambrevoli-check-user
  cp "$share_dir/user_key.pub" "$share_dir/authorized_keys"
  share_port=$(share_free_port)
  cat >"$share_dir/sshd_config" <<EOF
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
EOF
  # sshd wants its privilege separation folder, which only its service would make.
  mkdir -p /run/sshd
  export SSH_AUTH_SOCK=$share_dir/agent.socket
  ssh-agent -D -a "$SSH_AUTH_SOCK" >"$share_dir/agent.log" 2>&1 &
  check_end_at_exit $!
  check_wait_until 10 test -S "$SSH_AUTH_SOCK" || fail "ssh-agent did not start: $(cat "$share_dir/agent.log")"
  ssh-add -q "$share_dir/user_key" 2>>"$share_dir/agent.log" || fail "ssh-add failed: $(cat "$share_dir/agent.log")"
}

share_listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$share_port") 2>/dev/null
}

# Starts sshd serving the folder $1 (an absolute path; made when missing) on 127.0.0.1.
share_start_server() {
  share_root=$1
  [[ -n $share_dir ]] || share_prepare
  mkdir -p "$share_root"
  /usr/sbin/sshd -D -e -f "$share_dir/sshd_config" >>"$share_dir/sshd.log" 2>&1 &
  share_sshd_pid=$!
  check_end_at_exit "$share_sshd_pid"
  check_wait_until 10 share_listening || fail "sshd did not listen on port $share_port: $(cat "$share_dir/sshd.log")"
}

# Stops the server as a crash or a pulled cable would: the listener and the session serving the
# mount, which outlives the listener otherwise, both killed outright.
share_stop_server() {
  local sessions
  sessions=$(pgrep -P "$share_sshd_pid" || true)
  kill -KILL "$share_sshd_pid" $sessions 2>/dev/null || true
  wait "$share_sshd_pid" 2>/dev/null || true
  check_wait_until 10 eval '! share_listening' || fail "sshd still listens on port $share_port"
}

share_restart_server() {
  share_start_server "$share_root"
}

share_location() {
  echo "sftp://root@127.0.0.1:$share_port$share_root"
}

# Starts GIO's daemon (which starts its FUSE bridge at $XDG_RUNTIME_DIR/gvfs) once, mounts the
# share and sets share_path to the served folder's local path.
share_mount() {
  local fuse=$XDG_RUNTIME_DIR/gvfs
  if [[ -z ${share_gvfsd_pid-} ]]; then
    /usr/libexec/gvfsd --replace >"$work/gvfsd.log" 2>&1 &
    share_gvfsd_pid=$!
    check_end_at_exit "$share_gvfsd_pid"
    check_wait_until 20 mountpoint -q "$fuse" ||
      fail "GIO's FUSE bridge did not mount $fuse: $(cat "$work/gvfsd.log")"
  fi
  timeout 60 gio mount "$(share_location)" </dev/null >"$work/gio-mount.log" 2>&1 ||
    fail "gio mount $(share_location) failed: $(cat "$work/gio-mount.log")"
  local mounted
  mounted=$(ls "$fuse" | grep -E "^sftp:host=127\.0\.0\.1,port=$share_port(,|$)" | head -n1)
  [[ -n $mounted ]] || fail "no FUSE path for the share under $fuse: $(ls "$fuse")"
  share_path=$fuse/$mounted$share_root
  check_wait_until 10 test -d "$share_path" || fail "$share_path does not show the served folder"
}

share_unmount() {
  timeout 30 gio mount -u "$(share_location)" >/dev/null 2>&1 || true
}
