# Shared by the scripts that start throw-away desktop sessions for the tests; sourced, not run.

# Waits until "$@" succeeds, for at most $1 seconds.
wait_for() {
  local deadline=$1; shift
  local end=$((SECONDS + deadline))
  until "$@" >/dev/null 2>&1; do
    if ((SECONDS >= end)); then return 1; fi
    sleep 0.05
  done
}

# Holds the lock named $1 (on file descriptor 9) until the script ends: one start or stop at a time.
take_lock() {
  exec 9>"${TMPDIR:-/tmp}/$1.lock"
  flock 9
}

# Checks the script's arguments: a command and a state folder. $1 is the usage text.
need_command_and_state() {
  if [[ -z "$command" || -z "$state" ]]; then
    echo "usage: $0 $1" >&2
    exit 2
  fi
}
