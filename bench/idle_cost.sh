#!/usr/bin/env bash
# What the tray program costs while it sits idle: it and a minimal Qt tray program (the baseline) run
# side by side on a throw-away desktop for the same stretch of time, and each one's CPU time,
# voluntary context switches (wake-ups) per second and resident memory are printed.
#
#   bench/idle_cost.sh BUILD_DIR [SECONDS] [x11|sway]    SECONDS defaults to 60, the desktop to x11
#
# x11:  Xvfb, openbox and trayer; the focus is read from the X server, keys would go out through XTest.
# sway: headless sway with a foot window in front; the program reads the focus through sway's IPC and
#       posts keys through the compositor's virtual keyboard; both tray icons dock into trayer on the
#       session's XWayland display (Qt's xcb platform: sway itself has no tray without swaybar).
#
# BUILD_DIR must hold Sources/TamberloJoyrelay/tamberlo-joyrelay and bench/minimal_tray. Targets: at most
# 2.5 wake-ups per second above the baseline, resident memory at most 1.3 times the baseline's.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [SECONDS] [x11|sway]}
seconds=${2:-60}
desktop=${3:-x11}
build=$(cd "$build" && pwd)
program="$build/Sources/TamberloJoyrelay/tamberlo-joyrelay"
baseline="$build/bench/minimal_tray"
for f in "$program" "$baseline"; do
  [[ -e "$f" ]] || { echo "idle_cost: missing $f (build the project first)" >&2; exit 2; }
done
. "$(dirname "$0")/session-common.sh"

unset JOYRELAY_ANY_APP JOYRELAY_FOCUS XDG_SESSION_TYPE
case $desktop in
  x11)
    session_start x11 --tray
    unset QT_QPA_PLATFORM
    title="Xvfb + openbox + trayer"
    ;;
  sway)
    session_start sway
    export QT_QPA_PLATFORM=xcb
    SHELL=/bin/sh foot --app-id=foot >/dev/null 2>&1 &
    pids+=($!)
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true --transparent false \
      >"$work/trayer.log" 2>&1 &
    pids+=($!)
    title="headless sway (focus: sway IPC; keys: virtual keyboard; tray: trayer on XWayland)"
    ;;
  *) echo "idle_cost: unknown desktop '$desktop' (x11 or sway)" >&2; exit 2 ;;
esac
export HOME="$work/home" XDG_STATE_HOME="$work/home/state" XDG_CONFIG_HOME="$work/home/config"
mkdir -p "$HOME"

"$program" >"$work/program.out" 2>&1 &
pids+=($!)
program_pid=$!
"$baseline" >"$work/baseline.out" 2>&1 &
pids+=($!)
baseline_pid=$!

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

awk -v el="$elapsed" -v t="$ticks" -v title="$title" \
    -v pc0="$p_cpu0" -v pc1="$p_cpu1" -v ps0="$p_csw0" -v ps1="$p_csw1" -v pr="$p_rss" \
    -v bc0="$b_cpu0" -v bc1="$b_cpu1" -v bs0="$b_csw0" -v bs1="$b_csw1" -v br="$b_rss" '
BEGIN {
  pcpu = (pc1 - pc0) / t; bcpu = (bc1 - bc0) / t
  pw = (ps1 - ps0) / el; bw = (bs1 - bs0) / el
  printf "Idle cost over %.1f s on %s\n\n", el, title
  printf "%-20s %12s %18s %12s\n", "program", "CPU seconds", "wake-ups per s", "RSS (MiB)"
  printf "%-20s %12.2f %18.2f %12.1f\n", "tamberlo-joyrelay", pcpu, pw, pr / 1024
  printf "%-20s %12.2f %18.2f %12.1f\n", "minimal_tray", bcpu, bw, br / 1024
  printf "\nwake-ups above the baseline: %.2f per s (target at most 2.5): %s\n", pw - bw, (pw - bw <= 2.5 ? "met" : "MISSED")
  printf "resident memory: %.2f times the baseline (target at most 1.3): %s\n", pr / br, (pr / br <= 1.3 ? "met" : "MISSED")
}'
