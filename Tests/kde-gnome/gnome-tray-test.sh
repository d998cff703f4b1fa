#!/usr/bin/env bash
# Inside a headless GNOME Shell with the AppIndicator extension (wayland-desktop.sh gnome-tray): the
# program's tray icon is a StatusNotifierItem the extension's watcher holds, its menu reads through
# com.canonical.dbusmenu, and Quit clicked there ends the program with "quit" as the last log line.
# In GNOME Shell without it (wayland-desktop.sh gnome): the log says once how to get a tray.
#
#   gnome-tray-test.sh SOURCE_DIR      (JOYRELAY_APP names the program)
set -euo pipefail
src=$1
. "$src/Tests/support/session-lib.sh"  # wait_for
state=$(mktemp -d)
log=$state/Tamberlo\ Joyrelay.log
fail() {
  echo "gnome-tray-test: $*"
  echo "--- the program's output:"; cat "$state/out" 2>/dev/null || true
  exit 1
}
call() { gdbus call --session "$@"; }
watcher=(--dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher)
items() { call "${watcher[@]}" --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems; }

start() {
  XDG_STATE_HOME=$state XDG_CURRENT_DESKTOP=GNOME QT_QPA_PLATFORM=wayland "${JOYRELAY_APP:?names the program}" \
    >"$state/out" 2>&1 &
  pid=$!
  trap 'kill $pid 2>/dev/null || true' EXIT
}
# ended_with_quit: the program ends within 20 s, with status 0 and "quit" as its last log line.
ended_with_quit() {
  wait_for 20 bash -c "! kill -0 $pid" || fail "the program did not end"
  wait "$pid" || fail "the program ended with status $?"
  local last
  last=$(tail -n 1 "$log")
  [[ $last == *" quit" ]] || fail "the log's last line is '$last', not quit"
}

# GNOME Shell is up: its Wayland socket is there (it takes its bus name before that).
shell_up() {
  [[ -S $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY ]] && call --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.gnome.Shell | grep -q true
}
wait_for 120 shell_up || fail "GNOME Shell did not open its Wayland socket"

if [[ ${JOYRELAY_TEST_DESKTOP:-} == gnome ]]; then
  # No tray: the log says once how to get one, and the program keeps running until told to quit.
  start
  wait_for 60 grep -q "No system tray" "$log" || fail "the log does not say that there is no tray"
  grep "No system tray" "$log" | grep -q "gnome-shell-extension-appindicator" ||
    fail "the log does not say how to get a tray on GNOME: $(grep "No system tray" "$log")"
  kill -TERM "$pid"
  ended_with_quit
  [[ $(grep -c "No system tray" "$log") == 1 ]] || fail "the missing tray is logged more than once"
  echo "gnome-tray-test: without a tray the log says once how to get one"
  exit 0
fi

wait_for 120 items || fail "the AppIndicator extension's StatusNotifierWatcher did not appear on the session bus"
start

# The item whose bus name belongs to the program.
item=""
find_item() {
  local entry service
  for entry in $(items | grep -o "'[^']*'" | tr -d "'"); do
    service=${entry%%/*}
    service=${service%@}  # the extension writes "NAME@PATH", other watchers "NAMEPATH"
    owner=$(call --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.GetConnectionUnixProcessID "$service" 2>/dev/null | sed -n 's/.*uint32 \([0-9]*\).*/\1/p')
    if [[ $owner == "$pid" ]]; then item=$entry; return 0; fi
  done
  return 1
}
deadline=$((SECONDS + 60))
until find_item; do
  kill -0 "$pid" 2>/dev/null || fail "the program ended before its tray item was registered"
  ((SECONDS < deadline)) || fail "no StatusNotifierItem of the program's is registered: $(items)"
  sleep 0.1
done
service=${item%%/*} path=/${item#*/}
service=${service%@}
echo "gnome-tray-test: tray item $service $path"

menu=$(call --dest "$service" --object-path "$path" --method org.freedesktop.DBus.Properties.Get \
  org.kde.StatusNotifierItem Menu | grep -o "objectpath '[^']*'" | sed "s/objectpath '//; s/'//")
[[ -n $menu ]] || fail "the tray item names no menu"
dbusmenu=(--dest "$service" --object-path "$menu")
call "${dbusmenu[@]}" --method com.canonical.dbusmenu.AboutToShow 0 >/dev/null || true
layout=$(call "${dbusmenu[@]}" --method com.canonical.dbusmenu.GetLayout -- 0 -1 '@as []') || fail "GetLayout failed"
for line in "Tamberlo Joyrelay" "Stick:" "Show log" "Quit"; do
  grep -q "'label': <'[^']*$line" <<<"$layout" || fail "the menu has no '$line' line: $layout"
done
quit=$(grep -o "([0-9]*, {[^}]*'label': <'[^']*Quit[^']*'>" <<<"$layout" | sed 's/^(\([0-9]*\),.*/\1/' | head -n 1)
[[ -n $quit ]] || fail "no id for the Quit line: $layout"
call "${dbusmenu[@]}" --method com.canonical.dbusmenu.Event "$quit" clicked '<int32 0>' 0 >/dev/null ||
  fail "clicking Quit through com.canonical.dbusmenu failed"
ended_with_quit
echo "gnome-tray-test: the menu read and Quit clicked through com.canonical.dbusmenu; the log ends with quit"
