# Shared by the throw-away desktop sessions (Tests/desktop/x11-session.sh, Tests/wayland/sway-session.sh)
# and the bench scripts. Source it; a session script then defines start_session and stop_session and
# ends with `session_main NAME USAGE "$@"`.

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
