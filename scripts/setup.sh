#!/usr/bin/env bash
# Sets up this machine and this user's desktop for a Tamberlo Joyrelay built from source: what
# installing the Debian package does, plus what the desktop needs.
#
#   scripts/setup.sh [--binary PATH] [--extensions DIR]   set up
#   scripts/setup.sh --undo                               remove what set-up added
#
#   System (through sudo unless root): the udev rules in /etc/udev/rules.d (the stick and
#   /dev/uinput for the user at the desktop), uinput loaded now and at boot (/etc/modules-load.d).
#   KDE Plasma: a desktop entry hidden from menus that lets KWin grant the built binary its
#   fake-input protocol. GNOME: the focus extension in the form this GNOME Shell loads, enabled; where
#   GNOME has no tray, the AppIndicator extension (Debian package) enabled too.
#
# Each change is one line on standard output; a second run changes nothing and says so. A step that
# cannot be done (no sudo, no session bus) is said in one line with the command to run instead, and
# the other steps still happen; the exit status is then 1.
#
# JOYRELAY_SETUP_ROOT, when set, is a folder that stands for / (for tests): system files go under it,
# and nothing acts on the running system (no udevadm, modprobe or apt-get). HOME, XDG_DATA_HOME,
# XDG_STATE_HOME and XDG_CURRENT_DESKTOP are honoured; so is GSETTINGS_BACKEND.
set -uo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
binary=$src/build/default/Sources/TamberloJoyrelay/tamberlo-joyrelay
extensions=$src/build/default/packaging/gnome-shell-extension
undo=0
while (($#)); do
  case $1 in
    --undo) undo=1 ;;
    --binary) binary=${2:?--binary names the built program}; shift ;;
    --extensions) extensions=${2:?--extensions names the built extension forms}; shift ;;
    *) echo "usage: $0 [--undo] [--binary PATH] [--extensions DIR]" >&2; exit 2 ;;
  esac
  shift
done

root=${JOYRELAY_SETUP_ROOT:-}
live=1
[[ -n $root ]] && live=0
rules=$root/etc/udev/rules.d/70-tamberlo-joyrelay.rules
modules=$root/etc/modules-load.d/tamberlo-joyrelay.conf
data_home=${XDG_DATA_HOME:-$HOME/.local/share}
state_home=${XDG_STATE_HOME:-$HOME/.local/state}
kde_entry=$data_home/applications/tamberlo-joyrelay-source-build.desktop
focus_uuid=joyrelay-focus@tamberlo
tray_uuid=ubuntu-appindicators@ubuntu.com
tray_package=gnome-shell-extension-appindicator
# What set-up added that is not ours by name (a package, an extension turned on), for --undo.
added=$state_home/tamberlo-joyrelay/setup-added

changed=0
failed=0
say() { echo "setup: $*"; }
done_() { changed=1; say "$*"; }
cannot() { failed=1; say "$*"; }

# as_root COMMAND...: runs it directly when the target is ours to write (root, or a test's fake root),
# else through sudo; returns 127 when neither is possible.
as_root() {
  if [[ $(id -u) -eq 0 || $live -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    return 127
  fi
}

# install_file SOURCE TARGET WHAT: TARGET gets SOURCE's content unless it has it already.
install_file() {
  local source=$1 target=$2 what=$3
  if cmp -s "$source" "$target"; then return 0; fi
  if as_root install -D -m 644 "$source" "$target"; then
    done_ "installed $what: $target"
    return 0
  fi
  cannot "could not install $what (needs root) — run: sudo install -D -m 644 '$source' '${target#"$root"}'"
  return 1
}

remove_file() {
  local target=$1 what=$2
  [[ -e $target ]] || return 0
  if as_root rm -f "$target"; then
    done_ "removed $what: $target"
  else
    cannot "could not remove $what (needs root) — run: sudo rm '${target#"$root"}'"
  fi
}

# live_step COMMAND...: acts on the running system (skipped under JOYRELAY_SETUP_ROOT).
live_step() {
  ((live)) || return 0
  as_root "$@" >/dev/null 2>&1
}

reload_udev() {
  ((live)) || return 0
  if [[ ! -d /run/udev ]] || ! command -v udevadm >/dev/null; then
    say "udev does not run here — the rules take effect at the next boot"
    return 0
  fi
  if live_step udevadm control --reload-rules &&
     live_step udevadm trigger --action=change --subsystem-match=usb --attr-match=idVendor=2dc8 &&
     live_step udevadm trigger --action=change --subsystem-match=misc --sysname-match=uinput; then
    done_ "reloaded the udev rules (udevadm control --reload-rules, udevadm trigger) — unplug the stick and plug it in again"
  else
    cannot "could not reload the udev rules — run: sudo udevadm control --reload-rules && sudo udevadm trigger"
  fi
}

# --- the desktop's settings (GSettings: dconf on the session bus, or a test's keyfile) ---------------

have_settings() {
  [[ -n ${GSETTINGS_BACKEND:-} || -n ${DBUS_SESSION_BUS_ADDRESS:-} ]] && return 0
  [[ -S ${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/bus ]]
}

enabled_list() { gsettings get org.gnome.shell enabled-extensions 2>/dev/null; }

# enable_extension UUID: adds it to org.gnome.shell enabled-extensions; user extensions on.
enable_extension() {
  local uuid=$1 list
  if ! have_settings; then
    cannot "could not turn on $uuid (no session bus) — run in your desktop session: gnome-extensions enable $uuid"
    return 1
  fi
  if ! list=$(enabled_list); then
    cannot "could not read GNOME Shell's settings — run in your desktop session: gnome-extensions enable $uuid"
    return 1
  fi
  if [[ $(gsettings get org.gnome.shell disable-user-extensions) == true ]]; then
    gsettings set org.gnome.shell disable-user-extensions false && done_ "turned user extensions on (org.gnome.shell disable-user-extensions false)"
  fi
  [[ $list == *"'$uuid'"* ]] && return 0
  if [[ $list == "@as []" || $list == "[]" ]]; then list="['$uuid']"; else list="${list%]}, '$uuid']"; fi
  if gsettings set org.gnome.shell enabled-extensions "$list"; then
    done_ "turned on the GNOME Shell extension $uuid"
    return 0
  fi
  cannot "could not turn on $uuid — run in your desktop session: gnome-extensions enable $uuid"
  return 1
}

disable_extension() {
  local uuid=$1 list
  have_settings && list=$(enabled_list) || return 0
  [[ $list == *"'$uuid'"* ]] || return 0
  list=${list//", '$uuid'"/}
  list=${list//"'$uuid', "/}
  list=${list//"'$uuid'"/}
  [[ $list == "[]" ]] && list="@as []"
  gsettings set org.gnome.shell enabled-extensions "$list" && done_ "turned off the GNOME Shell extension $uuid"
}

note_added() {
  grep -qxF "$1" "$added" 2>/dev/null && return 0
  mkdir -p "$(dirname "$added")" && echo "$1" >>"$added"
}

desktop_is() { [[ ":${XDG_CURRENT_DESKTOP:-}:" == *":$1:"* ]]; }

# Which form of the focus extension this GNOME Shell loads: the module form from 45 on.
extension_form() {
  local major
  major=$(gnome-shell --version 2>/dev/null | sed -n 's/^GNOME Shell \([0-9]*\).*/\1/p')
  if [[ -n $major ]] && ((major < 45)); then echo legacy; else echo module; fi
}

# Whether something on the session bus already shows StatusNotifierItems (a tray).
tray_on_bus() {
  [[ -n ${DBUS_SESSION_BUS_ADDRESS:-} || -S ${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/bus ]] || return 1
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner org.kde.StatusNotifierWatcher 2>/dev/null | grep -q true
}

# --- set-up -----------------------------------------------------------------------------------------

setup() {
  if install_file "$src/packaging/70-tamberlo-joyrelay.rules" "$rules" "the udev rules for the stick and /dev/uinput"; then
    ((changed)) && reload_udev
  fi
  install_file "$src/packaging/tamberlo-joyrelay.conf" "$modules" "the entry that loads uinput at boot"
  if ((live)) && [[ ! -e /sys/module/uinput ]]; then
    local why
    if ! command -v modprobe >/dev/null; then
      cannot "could not load the uinput module (modprobe is missing: Debian's kmod package) — run: sudo modprobe uinput"
    elif why=$(as_root modprobe uinput 2>&1); then
      done_ "loaded the uinput module (modprobe uinput)"
    else
      cannot "could not load the uinput module (${why:-modprobe failed}) — run: sudo modprobe uinput"
    fi
  fi

  if desktop_is KDE; then
    local entry
    entry=$(printf '[Desktop Entry]\nType=Application\nName=Tamberlo Joyrelay (built from source)\nExec=%s\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n' "$binary")
    if [[ $(cat "$kde_entry" 2>/dev/null) != "$entry" ]]; then
      mkdir -p "$(dirname "$kde_entry")" && printf '%s\n' "$entry" >"$kde_entry" &&
        done_ "wrote $kde_entry — KWin grants fake input to $binary"
    fi
  fi

  if desktop_is GNOME; then
    local form target relogin=0
    form=$(extension_form)
    target=$data_home/gnome-shell/extensions/$focus_uuid
    if [[ ! -d $extensions/$form/$focus_uuid ]]; then
      cannot "the focus extension is not built ($extensions/$form) — run: cmake --build --preset default"
    elif ! diff -r -q "$extensions/$form/$focus_uuid" "$target" >/dev/null 2>&1; then
      rm -rf "$target" && mkdir -p "$(dirname "$target")" && cp -r "$extensions/$form/$focus_uuid" "$target" &&
        done_ "installed the GNOME Shell focus extension ($form form) in $target" && relogin=1
    fi
    local before_enable=$changed
    enable_extension "$focus_uuid"
    ((changed != before_enable)) && relogin=1

    # A tray: vanilla GNOME has none; the AppIndicator extension adds one.
    local tray_dir=$root/usr/share/gnome-shell/extensions/$tray_uuid
    if [[ ! -d $tray_dir && ! -d $data_home/gnome-shell/extensions/$tray_uuid ]] && ! tray_on_bus; then
      if ((!live)); then
        cannot "no tray in GNOME — run: sudo apt-get install $tray_package"
      elif as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tray_package" >/dev/null 2>&1; then
        done_ "installed the Debian package $tray_package (a tray for GNOME)"
        note_added "package $tray_package"
      else
        cannot "could not install a tray for GNOME — run: sudo apt-get install $tray_package"
      fi
    fi
    if [[ -d $tray_dir || -d $data_home/gnome-shell/extensions/$tray_uuid ]]; then
      local before_tray=$changed
      enable_extension "$tray_uuid"
      if ((changed != before_tray)); then
        relogin=1
        note_added "extension $tray_uuid"
      fi
    fi
    ((relogin)) && say "log out and in once: GNOME Shell on Wayland loads new extensions only at login"
  fi

  if ((!changed && !failed)); then say "nothing to change — everything is set up already"; fi
}

undo_setup() {
  remove_file "$rules" "the udev rules"
  ((changed)) && reload_udev
  remove_file "$modules" "the entry that loads uinput at boot"
  if [[ -e $kde_entry ]]; then rm -f "$kde_entry" && done_ "removed $kde_entry"; fi
  local target=$data_home/gnome-shell/extensions/$focus_uuid
  if [[ -e $target ]]; then rm -rf "$target" && done_ "removed the GNOME Shell focus extension from $target"; fi
  disable_extension "$focus_uuid"
  if grep -qxF "extension $tray_uuid" "$added" 2>/dev/null; then disable_extension "$tray_uuid"; fi
  if grep -qxF "package $tray_package" "$added" 2>/dev/null && ((live)); then
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq "$tray_package" >/dev/null 2>&1; then
      done_ "removed the Debian package $tray_package"
    else
      cannot "could not remove $tray_package — run: sudo apt-get remove $tray_package"
      return
    fi
  fi
  rm -f "$added"
  if ((!changed && !failed)); then say "nothing to remove — set-up has not added anything"; fi
}

if ((undo)); then undo_setup; else setup; fi
exit "$failed"
