# Shared by the bench scripts that run programs on a throw-away desktop session. Source it, then call
# session_start x11|sway [ARG...]: it makes $work (removed on exit, with every process started into
# $pids and the session itself), starts the session and exports its environment (DISPLAY, or
# WAYLAND_DISPLAY and SWAYSOCK). wait_for DEADLINE COMMAND... comes with it.

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$bench_dir/../Tests/support/session-lib.sh"  # wait_for
work=$(mktemp -d /tmp/joyrelay-bench-XXXXXX)
chmod 755 "$work"  # a sway session may run as another user (nobody)
pids=()
session_script=
session_state="$work/session"

session_cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -z $session_script ]] || bash "$session_script" stop "$session_state" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap session_cleanup EXIT

session_start() {
  local kind=$1; shift
  case $kind in
    x11)
      session_script="$bench_dir/../Tests/support/x11-session.sh"
      bash "$session_script" start "$session_state" "$@" >/dev/null
      export DISPLAY; DISPLAY=$(cat "$session_state/display")
      export XDG_RUNTIME_DIR="$session_state/runtime"
      unset WAYLAND_DISPLAY
      ;;
    sway)
      session_script="$bench_dir/../Tests/wayland/sway-session.sh"
      bash "$session_script" start "$session_state" "$@" >/dev/null
      set -a; . "$session_state/env"; set +a
      ;;
    *) echo "unknown session '$kind'" >&2; return 2 ;;
  esac
}
