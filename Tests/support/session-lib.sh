# Shared by the throw-away desktop sessions (Tests/support/x11-session.sh, Tests/wayland/sway-session.sh,
# Tests/kde-gnome/wayland-desktop.sh) and the bench scripts. Source it; a session script then defines
# start_session and stop_session and ends with `session_main NAME USAGE "$@"`.

# Waits until "$@" succeeds, for at most $1 seconds.
wait_for() {
  local deadline=$1; shift
  local end=$((SECONDS + deadline))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS >= end)); then return 1; fi
    sleep 0.05
  done
}

# Sessions of one kind started by parallel tests start and stop one after the other: the lock is
# held on descriptor 9 (which the session's own processes must not inherit: `9>&-`).
take_lock() {
  exec 9>"${TMPDIR:-/tmp}/joyrelay-$session_name-session.lock"
  flock 9
}

# session_main NAME USAGE start|stop STATE_DIR [ARG...]: sets $state and runs start_session with
# every argument, or stop_session under the lock.
session_main() {
  session_name=$1
  local usage=$2
  shift 2
  local command=${1:-}
  state=${2:-}
  if [[ -z "$command" || -z "$state" ]]; then
    echo "usage: $0 start|stop STATE_DIR$usage" >&2
    exit 2
  fi
  case "$command" in
    start) start_session "$@" ;;
    stop) take_lock; stop_session ;;
    *) echo "usage: $0 start|stop STATE_DIR$usage" >&2; exit 2 ;;
  esac
}

# grant_session_access USER PATH...: lets USER, the unprivileged user a session runs as, reach each
# PATH and read it, and nothing else: search only (x, no listing) on each folder above PATH that USER
# cannot search yet, and read (search on folders) on those of PATH's own files that others may not
# read. Each grant is an ACL entry of USER's own (setfacl, Debian's acl package), so a clone in a
# private (0700) folder stays closed to everybody else; each is said in one line. Returns 1 when a
# grant fails (no setfacl, or a file system without ACLs), after saying so.
grant_session_access() {
  local user=$1 path dir
  shift
  for path in "$@"; do
    path=$(realpath "$path")
    local parents=() missing=()
    dir=$(dirname "$path")
    while [[ $dir != / ]]; do
      parents=("$dir" "${parents[@]}")
      dir=$(dirname "$dir")
    done
    for dir in "${parents[@]}"; do
      setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups test -x "$dir" && continue
      if ! setfacl -m "u:$user:x" "$dir"; then
        echo "session: $user cannot enter $dir and setfacl could not let it — clone into a folder others may enter" >&2
        return 1
      fi
      echo "session: $user may now pass through $dir (search only) — undo with: setfacl -x u:$user '$dir'"
    done
    mapfile -d '' missing < <(find "$path" \( -type d ! -perm -o=rx \) -print0 -o \( ! -type d ! -perm -o=r \) -print0)
    ((${#missing[@]} == 0)) && continue
    if ! setfacl -m "u:$user:rX" "${missing[@]}"; then
      echo "session: $user cannot read $path and setfacl could not let it" >&2
      return 1
    fi
    echo "session: $user may now read ${#missing[@]} files under $path"
  done
}
