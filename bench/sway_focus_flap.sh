#!/usr/bin/env bash
# Keys into the wrong window while the focus flaps, on a headless sway session: two foot windows,
# one with a browser's app id ("firefox"), one without ("foot"), each running `cat` in raw mode
# into a file of its own. The program replays a paced capture that taps z every 20 ms (down for
# 10 ms) through the virtual keyboard, with the focus read through sway IPC, while sway_focus_flap
# moves the focus between the two windows every 50 ms. Prints the bytes that reached the terminal
# per 1,000 switches, and how many reached the browser.
#
#   bench/sway_focus_flap.sh BUILD_DIR [SWITCHES] [PROGRAM]
#
# PROGRAM (default: BUILD_DIR's tamberlo-joyrelay) may be another build, to compare.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [SWITCHES] [PROGRAM]}" && pwd)
switches=${2:-1000}
program=${3:-$build/Sources/TamberloJoyrelay/tamberlo-joyrelay}
flap="$build/bench/sway_focus_flap"
for f in "$flap" "$program"; do
  [[ -x "$f" ]] || { echo "sway_focus_flap: missing $f (build the project first)" >&2; exit 2; }
done
. "$(dirname "$0")/session-common.sh"

session_start sway
for id in foot firefox; do
  SHELL=/bin/sh foot --app-id="$id" sh -c "stty raw -echo; exec cat > '$work/typed-$id'" >/dev/null 2>&1 &
  pids+=($!)
done
windows_up() { [[ $(swaymsg -t get_tree | grep -c '"app_id": "\(foot\|firefox\)"') -eq 2 ]]; }
wait_for 20 windows_up || { echo "sway_focus_flap: the windows did not appear" >&2; exit 1; }
swaymsg -q '[app_id="firefox"] focus'

# z (B) down for 10 ms every 20 ms, from 1 s after start (past the keyboard's warm-up) until the
# flapping is over.
capture="$work/taps.gip"
taps=$(( (switches * 50 + 1000) / 20 ))
awk -v taps="$taps" 'BEGIN {
  seq = 1
  for (i = 0; i < taps; i++) {
    t = 1000 + i * 20
    printf "%d 20 00 %02x 0e 20 00 00 00 00 00 00 00 00 00 00 00 00 00\n", t, seq; seq = seq % 255 + 1
    printf "%d 20 00 %02x 0e 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n", t + 10, seq; seq = seq % 255 + 1
  }
}' >"$capture"

env XDG_STATE_HOME="$work/state" "$program" --headless --replay "$capture" --key-output virtual-keyboard \
  >"$work/program.log" 2>&1 &
replay=$!
pids+=($replay)
sleep 1
sent=$("$flap" "$switches" 50 foot firefox)
wait "$replay" || { echo "sway_focus_flap: the replay failed" >&2; cat "$work/program.log" >&2; exit 1; }
sleep 0.5  # foot writes what it was sent
terminal=$(stat -c %s "$work/typed-foot")
browser=$(stat -c %s "$work/typed-firefox")
echo "program: $program"
echo "focus switches: $sent every 50 ms; taps: $taps every 20 ms"
echo "bytes into the terminal: $terminal ($(awk -v b="$terminal" -v s="$sent" 'BEGIN { printf "%.1f", b * 1000 / s }') per 1,000 switches)"
echo "bytes into the browser:  $browser"
