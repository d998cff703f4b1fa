#!/usr/bin/env bash
# Time from start to the first delivered key, and from SIGKILL to the release of a held key, per key
# output, on a headless desktop with two busy loops (BUSY=0 for none), measured with wev (which logs
# every key event and ends none by itself).
#   bench/key_edges.sh kwin|gnome|sway PROGRAM     (RUNS=10 by default; SHOW=1 prints each run's logs)
# kwin: KWin fake input (and its guard); gnome: Mutter's remote desktop; sway: the virtual keyboard,
# on a seat without a keyboard (as headless sway starts), or with SEAT_KEYBOARD=1 on one that has one
# (another copy of the program, pressing nothing, keeps its virtual keyboard there).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
desktop=${1:?kwin|gnome|sway}
app=$(realpath "${2:?names the program binary}")
case $desktop in
  kwin | gnome)
    # JOYRELAY_ANY_APP=1 opens the gate for wev: GNOME needs no focus extension then.
    session=$desktop
    [[ $desktop == gnome ]] && session=gnome-bare
    JOYRELAY_APP=$app bash "$here/../Tests/kde-gnome/wayland-desktop.sh" "$session" \
      "$here/key_edges_session.sh" "${RUNS:-10}" "${BUSY:-2}" "${SHOW:-}"
    ;;
  sway)
    . "$here/session-common.sh"
    session_start sway
    if [[ ${SEAT_KEYBOARD:-0} == 1 ]]; then
      printf '0 20 00 01 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n600000 20 00 02 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n' >"$work/idle.gip"
      XDG_STATE_HOME="$work/keeper" "$app" --headless --replay "$work/idle.gip" >"$work/keeper.log" 2>&1 &
      pids+=($!)
      wait_for 10 grep -q "Key output" "$work/keeper.log"
    fi
    JOYRELAY_APP=$app bash "$here/key_edges_session.sh" "${RUNS:-10}" "${BUSY:-2}" "${SHOW:-}"
    ;;
  *) echo "unknown desktop '$desktop'" >&2; exit 2 ;;
esac
