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

# The script's arguments: sets `command` and `state` from "$2" and "$3"; without both, says how to
# call it ($1) and ends the script.
command_and_state() {
  command=${2:-}
  state=${3:-}
  if [[ -z "$command" || -z "$state" ]]; then
    echo "usage: $0 $1" >&2
    exit 2
  fi
}
