#!/usr/bin/env bash
# A throw-away headless sway session for the Wayland desktop tests, with XWayland.
#
#   sway-session.sh start STATE_DIR   start it; writes STATE_DIR/env (WAYLAND_DISPLAY, SWAYSOCK,
#                                     DISPLAY, XDG_RUNTIME_DIR as shell assignments) and STATE_DIR/pids
#   sway-session.sh stop STATE_DIR    stop exactly the process that start wrote down
#
# sway refuses to run as root: started by root (as in CI), the session runs as `nobody` (setpriv),
# and XWayland is told to let root's clients in. Started by another user, it runs as that user.
# No input devices: the only keyboard the seat ever gets is the one a test program creates.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../support/session-lib.sh"

stop_session() {
  [[ -f "$state/pids" ]] || return 0
  local pid
  pid=$(head -n 1 "$state/pids")
  # Only what this script started: a PID of an older run may belong to someone else by now.
  if [[ -n "$pid" && "$(cat "/proc/$pid/comm" 2>/dev/null)" == sway ]]; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_for 10 bash -c "! kill -0 $pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  fi
  rm -f "$state/pids" "$state/env"
}

start_session() {
  mkdir -p "$state"
  take_lock
  stop_session
  local user owner=()
  user=$(id -un)
  rm -rf "$state/run" "$state/out"
  if [[ $(id -u) -eq 0 ]]; then
    owner=(-o nobody -g nogroup)
    chmod 755 "$state"
    # sway creates its socket under STATE_DIR and reads its config there: when STATE_DIR lies in a
    # folder `nobody` may not enter (a clone in root's home), it is let through the folders above.
    grant_session_access nobody "$state" || exit 1
  fi
  install -d "${owner[@]}" -m 700 "$state/run"
  install -d "${owner[@]}" -m 755 "$state/out"
  # The exec line runs once sway is up, with the session's variables; xhost starts XWayland (lazy
  # otherwise) and lets the test user's X clients in.
  cat >"$state/config" <<CONFIG
output HEADLESS-1 resolution 1280x800
default_border none
focus_follows_mouse no
xwayland enable
exec sh -c 'xhost +si:localuser:$user >"$state/out/xhost.log" 2>&1; printf "WAYLAND_DISPLAY=%s\nSWAYSOCK=%s\nDISPLAY=%s\n" "\$WAYLAND_DISPLAY" "\$SWAYSOCK" "\$DISPLAY" >"$state/out/env.tmp" && mv "$state/out/env.tmp" "$state/out/env"'
CONFIG
  chmod 644 "$state/config"
  local run=(env -i HOME="$state/out" XDG_RUNTIME_DIR="$state/run" SHELL=/bin/sh PATH=/usr/bin:/bin LANG=C.UTF-8
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=1
    sway -c "$state/config")
  if [[ $(id -u) -eq 0 ]]; then
    run=(setpriv --reuid=nobody --regid=nogroup --clear-groups "${run[@]}")
  fi
  "${run[@]}" 9>&- </dev/null >"$state/sway.log" 2>&1 &
  echo $! >"$state/pids"
  if ! wait_for 20 test -s "$state/out/env"; then
    echo "sway-session: sway did not start (see $state/sway.log)" >&2
    cat "$state/sway.log" >&2 || true
    stop_session
    exit 1
  fi
  { cat "$state/out/env"; echo "XDG_RUNTIME_DIR=$state/run"; } >"$state/env"
  flock -u 9
  echo "sway-session: ready ($(tr '\n' ' ' <"$state/env"); pid $(cat "$state/pids"))"
}

session_main sway "" "$@"
