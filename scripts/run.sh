#!/usr/bin/env bash
# Sets up and runs the program: installs what it needs, builds it, sets up the machine and the desktop
# for it (scripts/setup.sh), then starts the tray application on a desktop, or, without a display,
# replays the bundled demo capture and prints its key transitions.
#
#   scripts/run.sh [PROGRAM OPTION...]   set up, then run
#   scripts/run.sh --setup               set up, and exit
#   scripts/run.sh --undo-setup          remove what setting up added, and exit
set -euo pipefail
cd "$(dirname "$0")/.."
mode=run
case ${1:-} in
  --setup) mode=setup; shift ;;
  --undo-setup) exec scripts/setup.sh --undo ;;
esac
# Setting up reports on standard error: standard output is left to the program.
if [[ $(id -u) -eq 0 ]] || command -v sudo >/dev/null; then scripts/install-deps.sh --run >&2; fi
cmake --preset default -DJOYRELAY_TESTS=OFF -DJOYRELAY_BENCH=OFF >/dev/null
cmake --build --preset default -j "$(nproc)" --target tamberlo-joyrelay >&2
bin=build/default/Sources/TamberloJoyrelay/tamberlo-joyrelay
if [[ $mode == setup ]]; then exec scripts/setup.sh --binary "$PWD/$bin"; fi
# What cannot be set up is said; the program runs all the same.
scripts/setup.sh --binary "$PWD/$bin" >&2 || true
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  exec "$bin" "$@"
fi
echo "No display: replaying samples/demo.gip (key transitions on stdout, the log on stderr)" >&2
exec "$bin" --replay samples/demo.gip --print-keys "$@"
