#!/usr/bin/env bash
# scripts/setup.sh against a fake system root and a temporary HOME: what it installs, that a second
# run changes nothing, what it cannot do, and that --undo takes everything away.
#
#   setup-test.sh SOURCE_DIR EXTENSION_DIR
set -euo pipefail
src=$1 extensions=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
faults=0
fault() { echo "setup-test: $*"; faults=1; }
root=$work/root home=$work/home
mkdir -p "$root" "$home"
binary=$work/bin/tamberlo-joyrelay
# setup DESKTOP [ARG...]: prints the output, then "status N".
setup() {
  local desktop=$1 status=0
  shift
  env -i PATH="$PATH" HOME="$home" XDG_CURRENT_DESKTOP="$desktop" GSETTINGS_BACKEND=keyfile \
    JOYRELAY_SETUP_ROOT="$root" bash "$src/scripts/setup.sh" --binary "$binary" --extensions "$extensions" "$@" || status=$?
  echo "status $status"
}
expect() {  # OUTPUT TEXT...: each TEXT is a line of OUTPUT's
  local out=$1
  shift
  for text in "$@"; do grep -qF -- "$text" <<<"$out" || fault "no line with '$text' in:"$'\n'"$out"; done
}
enabled() { sed -n 's/^enabled-extensions=//p' "$home/.config/glib-2.0/settings/keyfile" 2>/dev/null; }

# GNOME, no tray: the system files, the focus extension in this GNOME Shell's form, turned on, and
# the tray it cannot install under a fake root said with its command.
out=$(setup GNOME)
expect "$out" "installed the udev rules" "the entry that loads uinput at boot" "focus extension" \
  "turned on the GNOME Shell extension joyrelay-focus@tamberlo" "log out and in once" \
  "run: sudo apt-get install gnome-shell-extension-appindicator" "status 1"
cmp -s "$src/packaging/70-tamberlo-joyrelay.rules" "$root/etc/udev/rules.d/70-tamberlo-joyrelay.rules" || fault "the rules differ"
grep -qx uinput "$root/etc/modules-load.d/tamberlo-joyrelay.conf" || fault "uinput is not loaded at boot"
form=module
major=$(gnome-shell --version 2>/dev/null | sed -n 's/^GNOME Shell \([0-9]*\).*/\1/p')
[[ -n $major ]] && ((major < 45)) && form=legacy
diff -r "$extensions/$form/joyrelay-focus@tamberlo" "$home/.local/share/gnome-shell/extensions/joyrelay-focus@tamberlo" ||
  fault "the installed extension is not the $form form"

# With the AppIndicator extension on the system it is turned on; then nothing is left to change.
mkdir -p "$root/usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com"
expect "$(setup ubuntu:GNOME)" "turned on the GNOME Shell extension ubuntu-appindicators@ubuntu.com" "status 0"
[[ $(enabled) == "['joyrelay-focus@tamberlo', 'ubuntu-appindicators@ubuntu.com']" ]] || fault "enabled: $(enabled)"
out=$(setup GNOME)
[[ $out == $'setup: nothing to change — everything is set up already\nstatus 0' ]] || fault "a second run changed: $out"

# KDE Plasma: the hidden entry that grants the binary fake input, valid, written once.
expect "$(setup KDE)" "KWin grants fake input to $binary" "status 0"
entry=$home/.local/share/applications/tamberlo-joyrelay-source-build.desktop
grep -qx "Exec=$binary" "$entry" && grep -qx NoDisplay=true "$entry" &&
  grep -qx X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input "$entry" || fault "the KDE entry: $(cat "$entry")"
desktop-file-validate "$entry" || fault "desktop-file-validate rejects the KDE entry"
expect "$(setup KDE)" "nothing to change"

# No session bus: the extension cannot be turned on, said with its command; the rest still happens.
rm -rf "${root:?}/etc" "${home:?}/.config"
out=$(env -i PATH="$PATH" HOME="$home" XDG_RUNTIME_DIR="$work" XDG_CURRENT_DESKTOP=GNOME JOYRELAY_SETUP_ROOT="$root" \
  bash "$src/scripts/setup.sh" --binary "$binary" --extensions "$extensions" || echo "status $?")
expect "$out" "no session bus) — run in your desktop session: gnome-extensions enable joyrelay-focus@tamberlo" \
  "installed the udev rules" "status 1"

# Undo: everything set-up added goes; a second undo finds nothing.
setup GNOME >/dev/null
expect "$(setup GNOME --undo)" "removed the udev rules" "turned off the GNOME Shell extension joyrelay-focus@tamberlo" \
  "turned off the GNOME Shell extension ubuntu-appindicators@ubuntu.com" "status 0"
left=$(find "$root" "$home" -type f ! -path "$home/.config/glib-2.0/settings/keyfile")
[[ -z $left ]] || fault "left after --undo: $left"
[[ $(enabled) == "@as []" || $(enabled) == "[]" ]] || fault "still enabled after --undo: $(enabled)"
expect "$(setup GNOME --undo)" "nothing to remove"

((faults == 0)) && echo "setup-test: passed"
exit "$faults"
