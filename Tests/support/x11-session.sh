#!/usr/bin/env bash
# A throw-away X11 desktop for the desktop tests: Xvfb on a free display, openbox, optionally trayer.
#
#   x11-session.sh start STATE_DIR [--tray]   start it; writes STATE_DIR/display (":N"),
#                                             STATE_DIR/pids (one PID a line) and STATE_DIR/runtime
#   x11-session.sh stop STATE_DIR             stop exactly the processes that start wrote down
#
# Key autorepeat is turned off, so that a key held by a test produces one press and one release.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/session-lib.sh"

stop_session() {
  [[ -f "$state/pids" ]] || return 0
  local pids=()
  local line
  while read -r line; do
    # Only what this script started: a PID of an older run may belong to someone else by now.
    case "$(cat "/proc/$line/comm" 2>/dev/null)" in
      Xvfb | openbox | trayer) pids+=("$line") ;;
    esac
  done < <(tac "$state/pids")
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    if ! wait_for 5 bash -c "! kill -0 $pid"; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  # The display number is free again only once the server's lock file and socket are gone.
  local number
  number=$(tr -dc '0-9' <"$state/display-number" 2>/dev/null || true)
  if [[ -n "$number" ]]; then
    wait_for 5 bash -c "[[ ! -e /tmp/.X$number-lock && ! -e /tmp/.X11-unix/X$number ]]" || true
  fi
  rm -f "$state/pids" "$state/display"
}

start_session() {
  local tray=0
  [[ "${3:-}" == "--tray" ]] && tray=1
  mkdir -p "$state"
  # Sessions of parallel tests start and stop one after the other: an X server starting while another
  # one starts or goes away can trip over its display number.
  take_lock
  stop_session  # a session left over from an aborted run
  : >"$state/pids"
  export XDG_RUNTIME_DIR="$state/runtime"
  mkdir -p "$XDG_RUNTIME_DIR"
  chmod 0700 "$XDG_RUNTIME_DIR"

  # Xvfb picks a free display itself and writes its number to the descriptor once it accepts clients.
  local numberFile="$state/display-number"
  rm -f "$numberFile"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$numberFile" 9>&- </dev/null >"$state/xvfb.log" 2>&1 &
  echo $! >>"$state/pids"
  if ! wait_for 10 grep -q '[0-9]' "$numberFile"; then
    echo "x11-session: Xvfb did not start (see $state/xvfb.log)" >&2
    stop_session
    exit 1
  fi
  export DISPLAY=":$(tr -dc '0-9' <"$numberFile")"
  wait_for 10 xdpyinfo || { echo "x11-session: $DISPLAY does not answer" >&2; stop_session; exit 1; }

  openbox --sm-disable 9>&- </dev/null >"$state/openbox.log" 2>&1 &
  echo $! >>"$state/pids"
  if ! wait_for 10 bash -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'"; then
    echo "x11-session: openbox did not start (see $state/openbox.log)" >&2
    stop_session
    exit 1
  fi

  if ((tray)); then
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
      --transparent false 9>&- </dev/null >"$state/trayer.log" 2>&1 &
    echo $! >>"$state/pids"
  fi

  xset r off
  echo "$DISPLAY" >"$state/display"
  flock -u 9
  echo "x11-session: $DISPLAY ready (pids $(tr '\n' ' ' <"$state/pids"))"
}

session_main x11 " [--tray]" "$@"
