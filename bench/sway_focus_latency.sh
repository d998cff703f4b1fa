#!/usr/bin/env bash
# Gate latency on a headless sway session: two foot windows, one with the app id of a browser
# ("firefox"), one without ("foot"); sway_focus_latency switches between them N times (default 20)
# and prints the median per focus provider.
#
#   bench/sway_focus_latency.sh BUILD_DIR [N]
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [N]}" && pwd)
count=${2:-20}
bench="$build/bench/sway_focus_latency"
[[ -x "$bench" ]] || { echo "sway_focus_latency: missing $bench (build the project first)" >&2; exit 2; }
. "$(dirname "$0")/session-common.sh"

session_start sway
for id in foot firefox; do
  SHELL=/bin/sh foot --app-id="$id" >/dev/null 2>&1 &
  pids+=($!)
done
windows_up() { [[ $(swaymsg -t get_tree | grep -c '"app_id": "\(foot\|firefox\)"') -eq 2 ]]; }
wait_for 20 windows_up || { echo "sway_focus_latency: the windows did not appear" >&2; exit 1; }
"$bench" "$count"
