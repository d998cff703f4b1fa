#!/usr/bin/env bash
# Runs one test program inside a throw-away headless KDE Plasma (KWin) or GNOME Shell session.
#
#   wayland-desktop.sh kwin|gnome|gnome-bare|gnome-tray PROGRAM [ARG...]
#
# kwin:       kwin_wayland --virtual, with its lock screen (org.freedesktop.ScreenSaver; the session
#             starts unlocked); PROGRAM is its session program (KWin ends with it), and a
#             desktop file written before KWin starts authorises PROGRAM for org_kde_kwin_fake_input.
# gnome:      gnome-shell --headless, with the package's focus extension (the form this GNOME Shell
#             loads, from the build's JOYRELAY_GNOME_EXTENSION_DIR) and the tests' helper extension
#             installed and enabled before the shell starts.
# gnome-bare: the same without the package's extension.
# gnome-tray: gnome, with the AppIndicator extension (Debian's gnome-shell-extension-appindicator)
#             enabled too: GNOME's tray.
#
# The session runs as an unprivileged user: `nobody` when this script runs as root (compositors
# refuse root, or misbehave under it), else the calling user; `nobody` is given read access to what it
# runs and reads of the source and build trees, and search on the folders above them, where it lacks
# it (grant_session_access in Tests/support/session-lib.sh). It gets a private home, runtime folder
# and session bus (dbus-run-session); GNOME Shell also a private, empty system bus. PROGRAM sees
# JOYRELAY_TEST_DESKTOP (the first argument), WAYLAND_DISPLAY and the buses. Prints PROGRAM's output
# and exits with its status; 77 (skipped) when the compositor is not installed. The folder stays in
# /tmp when the program fails, and is removed otherwise.
#
# JOYRELAY_APP, when set, names the program's own binary for PROGRAM to run inside the session: it is
# passed on, and on KWin it gets a desktop file of its own for org_kde_kwin_fake_input, as the
# package's desktop entry gives the installed binary.
set -euo pipefail

desktop=${1:-}
program=${2:-}
if [[ -z $desktop || -z $program ]]; then
  echo "usage: $0 kwin|gnome|gnome-bare|gnome-tray PROGRAM [ARG...]" >&2
  exit 2
fi
shift 2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
program=$(realpath "$program")
program_line=$(printf '%q ' "$program" "$@")
app=${JOYRELAY_APP:+$(realpath "$JOYRELAY_APP")}

case $desktop in
  kwin) compositor=kwin_wayland ;;
  gnome | gnome-bare | gnome-tray) compositor=gnome-shell ;;
  *)
    echo "wayland-desktop: unknown desktop '$desktop'" >&2
    exit 2
    ;;
esac
appindicator=ubuntu-appindicators@ubuntu.com
if [[ $desktop == gnome-tray && ! -d /usr/share/gnome-shell/extensions/$appindicator ]]; then
  echo "wayland-desktop: gnome-shell-extension-appindicator is not installed (scripts/install-deps.sh installs it): skipped"
  exit 77
fi
for tool in "$compositor" dbus-run-session weston-terminal chromium; do
  if ! command -v "$tool" >/dev/null; then
    echo "wayland-desktop: $tool is not installed (scripts/install-deps.sh installs it): skipped"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/joyrelay-$desktop.XXXXXX")
chmod 755 "$work"
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/home" "$work/run"

run_as=(env -i)
if [[ $(id -u) -eq 0 ]]; then
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env)
  # What the session runs and reads of the trees, when they lie in a folder `nobody` may not enter
  # (a clone in root's home): exactly those files, and search on the folders above them.
  . "$here/../support/session-lib.sh"
  grant_session_access nobody "$program" ${app:+"$app"} "$here/../../web" "$here/../../samples" "$here/../support" \
    ${JOYRELAY_GNOME_EXTENSION_DIR:+"$JOYRELAY_GNOME_EXTENSION_DIR"} || exit 1
fi
# The user's own files: written here, handed over below.
apps=$work/home/.local/share/applications
extensions=$work/home/.local/share/gnome-shell/extensions
mkdir -p "$apps" "$extensions"

session=$work/session.sh
case $desktop in
  kwin)
    # kwin_wayland carries the file capability cap_sys_resource, which containers often lack in their
    # bounding set (execve then fails even for root); a copy carries none.
    cp "$(command -v kwin_wayland)" "$work/kwin_wayland"
    printf '[Desktop Entry]\nType=Application\nName=Joyrelay desktop tests\nExec=%s\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n' \
      "$program" >"$apps/joyrelay-desktop-tests.desktop"
    if [[ -n $app ]]; then
      printf '[Desktop Entry]\nType=Application\nName=Tamberlo Joyrelay (build tree)\nExec=%s\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n' \
        "$app" >"$apps/tamberlo-joyrelay-build.desktop"
    fi
    cat >"$session" <<EOS
#!/bin/sh
$program_line >"$work/home/result.log" 2>&1
echo \$? >"$work/home/status"
EOS
    launch=("$work/kwin_wayland" --virtual --socket wayland-joyrelay --width 1280 --height 800
      --no-global-shortcuts --no-kactivities --exit-with-session "$session")
    ;;
  gnome | gnome-bare | gnome-tray)
    major=$(gnome-shell --version | sed -n 's/^GNOME Shell \([0-9]*\).*/\1/p')
    form=module
    ((major < 45)) && form=legacy
    enabled="'joyrelay-focus-test@tamberlo'"
    cp -r "$here/gnome-test-extension/joyrelay-focus-test@tamberlo" "$extensions/"
    if [[ $desktop != gnome-bare ]]; then
      cp -r "${JOYRELAY_GNOME_EXTENSION_DIR:?names the built extension forms}/$form/joyrelay-focus@tamberlo" "$extensions/"
      enabled="'joyrelay-focus@tamberlo', $enabled"
    fi
    [[ $desktop == gnome-tray ]] && enabled="$enabled, '$appindicator'"
    cat >"$work/system-bus.conf" <<'EOS'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOS
    cat >"$session" <<EOS
#!/bin/bash
# Extensions are read when the shell starts: enable them first.
gsettings set org.gnome.shell disable-user-extensions false
gsettings set org.gnome.shell enabled-extensions "[$enabled]"
gsettings set org.gnome.desktop.interface enable-animations false
# GNOME Shell needs a system bus when systemd's seat folder exists; a private, empty one will do.
eval \$(dbus-daemon --config-file="$work/system-bus.conf" --fork --print-address=1 --print-pid=1 |
  sed -n '1s/^/export DBUS_SYSTEM_BUS_ADDRESS=/p;2s/^/system_bus=/p')
gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800 --wayland-display=wayland-joyrelay \
  >"$work/home/shell.log" 2>&1 &
shell=\$!
WAYLAND_DISPLAY=wayland-joyrelay $program_line >"$work/home/result.log" 2>&1
echo \$? >"$work/home/status"
kill \$shell
wait \$shell || true  # GNOME Shell 43 may crash on the way out; its status does not matter here
kill \$system_bus
EOS
    launch=("$session")
    ;;
esac
chmod 755 "$session"
if [[ $(id -u) -eq 0 ]]; then chown -R nobody:nogroup "$work/home" "$work/run"; fi

status=0
timeout 300 "${run_as[@]}" env HOME="$work/home" XDG_RUNTIME_DIR="$work/run" SHELL=/bin/sh \
  PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 JOYRELAY_TEST_DESKTOP="$desktop" ${app:+JOYRELAY_APP="$app"} \
  ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
  ${LSAN_OPTIONS:+LSAN_OPTIONS="$LSAN_OPTIONS"} dbus-run-session -- "${launch[@]}" >"$work/session.log" 2>&1 || status=$?
cat "$work/home/result.log" 2>/dev/null || true
if [[ -f $work/home/status ]]; then
  status=$(cat "$work/home/status")
else
  echo "wayland-desktop: the session ended (status $status) before the test program did; its log:"
  tail -n 40 "$work/session.log"
  status=1
fi
if ((status == 0)); then
  rm -rf "$work"
else
  echo "wayland-desktop: logs kept in $work"
fi
exit "$status"
