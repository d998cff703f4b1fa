#!/usr/bin/env bash
# What the tray program costs while it sits idle in a Wayland session: as bench/idle_cost.sh, but on a
# headless sway (Tests/wayland/sway-session.sh) with a foot window in front. The program reads the
# focus through sway's IPC and posts keys through the compositor's virtual keyboard; its tray icon and
# the baseline's dock into trayer on the session's XWayland display (Qt's xcb platform: sway itself
# has no tray without swaybar).
#
#   bench/idle_cost_sway.sh BUILD_DIR [SECONDS]  SECONDS defaults to 60
#
# BUILD_DIR must hold Sources/TamberloJoyrelay/tamberlo-joyrelay and bench/minimal_tray. Targets: at most
# 2.5 wake-ups per second above the baseline, resident memory at most 1.3 times the baseline's.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [SECONDS]}
seconds=${2:-60}
build=$(cd "$build" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
session_script="$here/../Tests/wayland/sway-session.sh"
program="$build/Sources/TamberloJoyrelay/tamberlo-joyrelay"
baseline="$build/bench/minimal_tray"
for f in "$program" "$baseline" "$session_script"; do
  [[ -e "$f" ]] || { echo "idle_cost: missing $f (build the project first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/joyrelay-idle-XXXXXX)
chmod 755 "$work"  # the session may run as another user (nobody)
state="$work/session"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  bash "$session_script" stop "$state" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

bash "$session_script" start "$state" >/dev/null
set -a; . "$state/env"; set +a
export HOME="$work/home" XDG_STATE_HOME="$work/home/state" XDG_CONFIG_HOME="$work/home/config"
export QT_QPA_PLATFORM=xcb
unset JOYRELAY_ANY_APP JOYRELAY_FOCUS XDG_SESSION_TYPE
mkdir -p "$HOME"
SHELL=/bin/sh foot --app-id=foot >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype request --height 32 --SetDockType true --transparent false \
  >"$work/trayer.log" 2>&1 &
pids+=($!)

"$program" >"$work/program.out" 2>&1 &
pids+=($!)
program_pid=$!
"$baseline" >"$work/baseline.out" 2>&1 &
pids+=($!)
baseline_pid=$!

# Waits until "$@" succeeds, for at most $1 seconds.
wait_for() {
  local deadline=$1; shift
  local end=$((SECONDS + deadline))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}
wait_for 20 grep -q "Key output: " "$work/program.out" ||
  { echo "idle_cost: the program did not start" >&2; cat "$work/program.out" >&2; exit 1; }
wait_for 20 xdotool search --onlyvisible --classname '^tamberlo-joyrelay$' ||
  { echo "idle_cost: the tray icon did not appear" >&2; cat "$work/program.out" >&2; exit 1; }
wait_for 20 xdotool search --onlyvisible --classname '^minimal_tray$' ||
  { echo "idle_cost: the baseline's icon did not appear" >&2; exit 1; }
sleep 3  # let start-up work (first paints, the first timer ticks) finish before measuring

ticks=$(getconf CLK_TCK)
# CPU ticks (user + system, all threads), voluntary context switches (all threads), resident kB.
sample() {
  local pid=$1 cpu csw=0 rss
  cpu=$(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat")
  for status in /proc/"$pid"/task/*/status; do
    csw=$((csw + $(awk '/^voluntary_ctxt_switches/ { print $2 }' "$status" 2>/dev/null || echo 0)))
  done
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
  echo "$cpu $csw $rss"
}

read -r p_cpu0 p_csw0 _ < <(sample "$program_pid")
read -r b_cpu0 b_csw0 _ < <(sample "$baseline_pid")
start=$(date +%s%N)
sleep "$seconds"
read -r p_cpu1 p_csw1 p_rss < <(sample "$program_pid")
read -r b_cpu1 b_csw1 b_rss < <(sample "$baseline_pid")
elapsed=$(awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')

kill -0 "$program_pid" 2>/dev/null || { echo "idle_cost: the tray program ended early" >&2; exit 1; }
grep -E "Focus: |Key output: " "$work/program.out" | sed "s/^/program log: /"

awk -v el="$elapsed" -v t="$ticks" \
    -v pc0="$p_cpu0" -v pc1="$p_cpu1" -v ps0="$p_csw0" -v ps1="$p_csw1" -v pr="$p_rss" \
    -v bc0="$b_cpu0" -v bc1="$b_cpu1" -v bs0="$b_csw0" -v bs1="$b_csw1" -v br="$b_rss" '
BEGIN {
  pcpu = (pc1 - pc0) / t; bcpu = (bc1 - bc0) / t
  pw = (ps1 - ps0) / el; bw = (bs1 - bs0) / el
  printf "Idle cost over %.1f s on headless sway (focus: sway IPC; keys: virtual keyboard; tray: trayer on XWayland)\n\n", el
  printf "%-20s %12s %18s %12s\n", "program", "CPU seconds", "wake-ups per s", "RSS (MiB)"
  printf "%-20s %12.2f %18.2f %12.1f\n", "tamberlo-joyrelay", pcpu, pw, pr / 1024
  printf "%-20s %12.2f %18.2f %12.1f\n", "minimal_tray", bcpu, bw, br / 1024
  printf "\nwake-ups above the baseline: %.2f per s (target at most 2.5): %s\n", pw - bw, (pw - bw <= 2.5 ? "met" : "MISSED")
  printf "resident memory: %.2f times the baseline (target at most 1.3): %s\n", pr / br, (pr / br <= 1.3 ? "met" : "MISSED")
}'
