#!/usr/bin/env bash
# Inside a headless desktop session (see key_edges.sh): wev in front, BUSY busy loops, then RUNS times
# the program ($JOYRELAY_APP) replaying a capture that holds Enter from its first report. Prints, per
# run, the time from the program's start to wev's first Enter press, and from SIGKILL to wev's Enter
# release, then the medians. With SHOW=1, each run's program log and wev's key events too.
#   key_edges_session.sh [RUNS [BUSY [SHOW]]]   (10, 2 and empty)
set -euo pipefail
runs=${1:-10}
busy_loops=${2:-2}
show=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/joyrelay-edges.XXXXXX")
printf '0 20 00 01 0e 04 00 00 00 00 00 00 00 00 00 00 00 00 00\n600000 20 00 02 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n' >"$work/held.gip"
now() { date +%s%N; }
count() { grep -c "key: 36; state: $1" "$work/wev.log" || true; }
wait_more() {  # STATE BEFORE DEADLINE_S: until wev logged more Enter events of STATE than BEFORE
  local end=$(($(now) + $3 * 1000000000))
  while (($(count "$1") <= $2)); do (($(now) < end)) || return 1; sleep 0.002; done
}
# The compositor may not take clients yet when the session program starts (GNOME): start wev again
# until its window is up and has the focus: "activated" in its configure (on a seat without a keyboard,
# sway's headless one, wev gets a keyboard only with the program's, so no keyboard enter comes first).
for _ in $(seq 60); do
  stdbuf -oL wev >"$work/wev.log" 2>&1 &
  wev=$!
  for _ in $(seq 100); do
    grep -qE "wl_keyboard.*enter| activated" "$work/wev.log" && break 2
    kill -0 "$wev" 2>/dev/null || break
    sleep 0.02
  done
  kill "$wev" 2>/dev/null || true
  sleep 0.5
done
busy=()
if ((busy_loops > 0)); then for _ in $(seq "$busy_loops"); do (while :; do :; done) & busy+=($!); done; fi
downs=() ups=()
for run in $(seq "$runs"); do
  pressed=$(count 1); released=$(count 0); lines=$(wc -l <"$work/wev.log")
  start=$(now)
  JOYRELAY_ANY_APP=1 "$JOYRELAY_APP" --headless --replay "$work/held.gip" >"$work/program-$run.log" 2>&1 &
  program=$!
  if wait_more 1 "$pressed" 10; then down=$((($(now) - start) / 1000000)); else down=lost; fi
  kill -KILL "$program"; killed=$(now); wait "$program" 2>/dev/null || true
  if wait_more 0 "$released" 10; then up=$((($(now) - killed) / 1000000)); else up=never; fi
  echo "run $run: first key ${down} ms after start, released ${up} ms after SIGKILL"
  downs+=("$down"); ups+=("$up")
  [[ $down == lost ]] && tail -3 "$work/program-$run.log"
  if [[ -n $show ]]; then
    sed 's/^/  program: /' "$work/program-$run.log"
    tail -n +$((lines + 1)) "$work/wev.log" | grep -E "key: [0-9]+; state" | sed 's/^ */  wev: /' || true
  fi
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
echo "median: first key $(median "${downs[@]}") ms after start; release $(median "${ups[@]}") ms after SIGKILL ($runs runs, $busy_loops busy loops)"
for pid in "${busy[@]}"; do kill "$pid"; done
kill "$wev"
rm -rf "$work"
