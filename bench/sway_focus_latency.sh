#!/usr/bin/env bash
# Gate latency on a headless sway session: two foot windows, one with the app id of a browser
# ("firefox"), one without ("foot"); sway_focus_latency switches between them N times (default 20)
# and prints the median per focus provider.
#
#   bench/sway_focus_latency.sh BUILD_DIR [N]
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [N]}" && pwd)
count=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
session_script="$here/../Tests/wayland/sway-session.sh"
bench="$build/bench/sway_focus_latency"
[[ -x "$bench" ]] || { echo "sway_focus_latency: missing $bench (build the project first)" >&2; exit 2; }

work=$(mktemp -d /tmp/joyrelay-latency-XXXXXX)
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
for id in foot firefox; do
  SHELL=/bin/sh foot --app-id="$id" >/dev/null 2>&1 &
  pids+=($!)
done
end=$((SECONDS + 20))
until [[ $(swaymsg -t get_tree | grep -c '"app_id": "\(foot\|firefox\)"') -eq 2 ]]; do
  ((SECONDS < end)) || { echo "sway_focus_latency: the windows did not appear" >&2; exit 1; }
  sleep 0.1
done
"$bench" "$count"
