#!/usr/bin/env bash
# Builds the Debian package, installs it the way a user would, checks what it installed, runs the
# installed program, then removes the package and checks that nothing of it is left.
#
#   packaging/check-package.sh BUILD_DIR
#       Run as root on Debian. A BUILD_DIR without a CMakeCache.txt is configured for packaging
#       first (prefix /usr, RelWithDebInfo, no tests or benchmarks); an existing one must have been
#       configured with -DCMAKE_INSTALL_PREFIX=/usr.
#   packaging/check-package.sh --check-rules FILE...
#       Only the syntax check of udev rules files (no root needed).
#
# Exits 0 when every check passes, otherwise prints "check-package: FAIL: <why>" and exits 1.
set -euo pipefail

readonly PKG=tamberlo-joyrelay
SRC_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly SRC_DIR

step() { printf '\n== %s\n' "$*"; }
note() { printf 'check-package: %s\n' "$*"; }
fail() {
    printf 'check-package: FAIL: %s\n' "$*" >&2
    exit 1
}

# ---- udev rules syntax ----------------------------------------------------------------------------
# Each rule is one line (a trailing backslash continues it): comma-separated KEY[{attr}] OP "value"
# pairs. Checks the keys, whether a key takes or refuses an {attr}, and the operators each key takes.

declare -A RULE_KEY_ATTR=(  # required, optional or none
    [ACTION]=none [DEVPATH]=none [KERNEL]=none [KERNELS]=none [NAME]=none [SYMLINK]=none
    [SUBSYSTEM]=none [SUBSYSTEMS]=none [DRIVER]=none [DRIVERS]=none [ATTR]=required
    [ATTRS]=required [SYSCTL]=required [ENV]=required [CONST]=required [TAG]=none [TAGS]=none
    [TEST]=optional [PROGRAM]=none [RESULT]=none [IMPORT]=required [OPTIONS]=none [OWNER]=none
    [GROUP]=none [MODE]=none [SECLABEL]=required [RUN]=optional [LABEL]=none [GOTO]=none
)
declare -A RULE_KEY_OPS=(  # the operators each key accepts, space-separated
    [ACTION]="== !=" [DEVPATH]="== !=" [KERNEL]="== !=" [KERNELS]="== !=" [NAME]="== != = :="
    [SYMLINK]="== != = += -= :=" [SUBSYSTEM]="== !=" [SUBSYSTEMS]="== !=" [DRIVER]="== !="
    [DRIVERS]="== !=" [ATTR]="== != =" [ATTRS]="== !=" [SYSCTL]="== != =" [ENV]="== != = +="
    [CONST]="== !=" [TAG]="== != = += -=" [TAGS]="== !=" [TEST]="== !=" [PROGRAM]="== !="
    [RESULT]="== !=" [IMPORT]="== != =" [OPTIONS]="= +=" [OWNER]="= :=" [GROUP]="= :="
    [MODE]="= :=" [SECLABEL]="= += :=" [RUN]="= += :=" [LABEL]="=" [GOTO]="="
)
readonly RULE_OPTIONS_RE='^(static_node=[^[:space:]]+|string_escape=(none|replace)|db_persist|watch|nowatch|link_priority=-?[0-9]+|log_level=[a-z0-9]+)$'

# check_rule_line FILE LINENO TEXT: prints one message per fault, returns 1 when there is any.
check_rule_line() {
    local file=$1 lineno=$2 rest=$3 faults=0 pairs=0
    local pair_re='^([A-Z_]+)(\{([^}]*)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"(([^"\\]|\\.)*)"'
    local key attr op value kind
    rest="${rest#"${rest%%[![:space:]]*}"}"
    while [[ -n $rest ]]; do
        if [[ ! $rest =~ $pair_re ]]; then
            printf '%s:%s: not a KEY{attr}OP"value" pair at: %s\n' "$file" "$lineno" "$rest"
            return 1
        fi
        key=${BASH_REMATCH[1]} attr=${BASH_REMATCH[3]} op=${BASH_REMATCH[4]} value=${BASH_REMATCH[5]}
        local has_attr=${BASH_REMATCH[2]:+yes}
        rest=${rest:${#BASH_REMATCH[0]}}
        pairs=$((pairs + 1))
        kind=${RULE_KEY_ATTR[$key]:-}
        if [[ -z $kind ]]; then
            printf '%s:%s: unknown key %s\n' "$file" "$lineno" "$key"
            faults=1
        else
            if [[ $kind == required && -z $has_attr ]]; then
                printf '%s:%s: %s needs {attribute}\n' "$file" "$lineno" "$key"
                faults=1
            elif [[ $kind == none && -n $has_attr ]]; then
                printf '%s:%s: %s takes no {attribute}\n' "$file" "$lineno" "$key"
                faults=1
            elif [[ -n $has_attr && ! $attr =~ ^[A-Za-z0-9_.:/*?!-]+$ ]]; then
                printf '%s:%s: %s has a malformed attribute "{%s}"\n' "$file" "$lineno" "$key" "$attr"
                faults=1
            fi
            if [[ " ${RULE_KEY_OPS[$key]} " != *" $op "* ]]; then
                printf '%s:%s: %s does not take the operator %s\n' "$file" "$lineno" "$key" "$op"
                faults=1
            fi
        fi
        if [[ $key == OPTIONS ]]; then
            local opt
            IFS=',' read -ra opts <<<"$value"
            for opt in "${opts[@]}"; do
                if [[ ! $opt =~ $RULE_OPTIONS_RE ]]; then
                    printf '%s:%s: unknown option "%s"\n' "$file" "$lineno" "$opt"
                    faults=1
                fi
            done
        fi
        # sysfs shows USB identifiers in lower-case hex: an upper-case value would never match.
        if [[ $key == ATTR* && $attr =~ ^(idVendor|idProduct|bDeviceClass|bInterfaceClass)$ &&
              ! $value =~ ^[0-9a-f*?]+$ ]]; then
            printf '%s:%s: %s{%s} "%s" is not lower-case hex as sysfs shows it\n' \
                "$file" "$lineno" "$key" "$attr" "$value"
            faults=1
        fi
        rest="${rest#"${rest%%[![:space:]]*}"}"
        if [[ -n $rest ]]; then
            if [[ $rest != ,* ]]; then
                printf '%s:%s: expected "," before: %s\n' "$file" "$lineno" "$rest"
                return 1
            fi
            rest="${rest#,}"
            rest="${rest#"${rest%%[![:space:]]*}"}"
            if [[ -z $rest ]]; then
                printf '%s:%s: the rule ends with ","\n' "$file" "$lineno"
                return 1
            fi
        fi
    done
    ((pairs > 0)) || return 0
    return "$faults"
}

# check_rules_file FILE: the syntax check of one rules file; returns 1 on any fault.
# shellcheck disable=SC2094  # the file's name goes into the messages; nothing writes to it
check_rules_file() {
    local file=$1 faults=0 lineno=0 start=0 line logical=""
    [[ -r $file ]] || {
        printf '%s: cannot be read\n' "$file"
        return 1
    }
    while IFS= read -r line || [[ -n $line ]]; do
        lineno=$((lineno + 1))
        if [[ -z $logical ]]; then
            start=$lineno
            [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
        fi
        if [[ $line == *\\ ]]; then
            logical+="${line%\\}"
            continue
        fi
        logical+=$line
        check_rule_line "$file" "$start" "$logical" || faults=1
        logical=""
    done <"$file"
    if [[ -n $logical ]]; then
        printf '%s:%s: the last rule ends with a line continuation\n' "$file" "$start"
        faults=1
    fi
    return "$faults"
}

if [[ ${1:-} == --check-rules ]]; then
    shift
    (($# > 0)) || fail "usage: $0 --check-rules FILE..."
    status=0
    for f in "$@"; do
        if check_rules_file "$f"; then note "$f: rules syntax ok"; else status=1; fi
    done
    exit "$status"
fi

# ---- the package check ----------------------------------------------------------------------------

(($# == 1)) || fail "usage: $0 BUILD_DIR   (or: $0 --check-rules FILE...)"
[[ $(id -u) -eq 0 ]] || fail "run as root: the package is installed and removed with apt-get"
BUILD_DIR=$1

for tool in cmake cpack dpkg dpkg-deb dpkg-query dpkg-shlibdeps apt-get desktop-file-validate appstreamcli file gzip; do
    command -v "$tool" >/dev/null ||
        fail "$tool is missing (scripts/install-deps.sh installs dpkg-dev, desktop-file-utils, appstream, udev and file)"
done

WORK=$(mktemp -d)
INSTALLED=0
cleanup() {
    local status=$?
    if ((status != 0 && INSTALLED)); then
        note "removing the package after the failure"
        DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq "$PKG" >/dev/null 2>&1 || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

installed_state() { dpkg-query -W -f='${db:Status-Abbrev}' "$PKG" 2>/dev/null || true; }

step "build ($BUILD_DIR)"
if [[ ! -f $BUILD_DIR/CMakeCache.txt ]]; then
    cmake -S "$SRC_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DJOYRELAY_TESTS=OFF -DJOYRELAY_BENCH=OFF >/dev/null ||
        fail "configuring $BUILD_DIR failed"
fi
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
[[ $prefix == /usr ]] ||
    fail "$BUILD_DIR is configured with CMAKE_INSTALL_PREFIX=$prefix; the package needs /usr"
cmake --build "$BUILD_DIR" -j "${JOBS:-$(nproc)}" || fail "the build failed"

step "package (cpack -G DEB)"
cpack_log=$WORK/cpack.log
if ! (cd "$BUILD_DIR" && cpack -G DEB) >"$cpack_log" 2>&1; then
    cat "$cpack_log" >&2
    fail "cpack -G DEB failed"
fi
cat "$cpack_log"
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$cpack_log" | tail -n 1)
[[ -n $deb && -f $deb ]] || fail "cpack did not name the .deb it generated"

step "package contents"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == "$PKG" ]] || fail "the package is named '$(field Package)', not $PKG"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] ||
    fail "architecture '$(field Architecture)' is not this machine's $(dpkg --print-architecture)"
[[ $(field Depends) == *libc6* ]] || fail "Depends does not list the shared libraries: '$(field Depends)'"
[[ $(field Recommends) == *gnome-shell-extension-appindicator* ]] ||
    fail "Recommends does not name the AppIndicator extension (GNOME's tray): '$(field Recommends)'"
version=$(field Version)
upstream_version=${version%-*}
upstream_version=${upstream_version#*:}
dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$WORK/control.list"
for script in postinst postrm; do
    grep -Eq "^-rwxr-xr-x root/root .* \./$script\$" "$WORK/control.list" ||
        fail "the $script script is not 0755 root/root: $(grep "$script" "$WORK/control.list" || echo missing)"
done
dpkg-deb -c "$deb" >"$WORK/data.list"
if bad=$(awk '$2 != "root/root" || substr($1, 9, 1) == "w"' "$WORK/data.list") && [[ -n $bad ]]; then
    fail "files not owned by root or writable by everyone:"$'\n'"$bad"
fi
expected=(
    /usr/bin/tamberlo-joyrelay
    /usr/libexec/tamberlo-joyrelay/tamberlo-joyrelay-keyguard
    /usr/share/applications/tamberlo-joyrelay.desktop
    /usr/share/metainfo/org.tamberlo.Joyrelay.metainfo.xml
    /usr/share/gnome-shell/extensions/joyrelay-focus@tamberlo/metadata.json
    /usr/share/gnome-shell/extensions/joyrelay-focus@tamberlo/extension.js
    /usr/share/icons/hicolor/scalable/apps/tamberlo-joyrelay.svg
    /usr/share/icons/hicolor/scalable/status/tamberlo-joyrelay-connected.svg
    /usr/share/icons/hicolor/scalable/status/tamberlo-joyrelay-idle.svg
    /usr/share/tamberlo-joyrelay/web/index.html
    /usr/share/tamberlo-joyrelay/web/padtest.html
    /usr/share/tamberlo-joyrelay/samples/demo.gip
    /usr/lib/udev/rules.d/70-tamberlo-joyrelay.rules
    /usr/lib/modules-load.d/tamberlo-joyrelay.conf
    /usr/share/man/man1/tamberlo-joyrelay.1.gz
    /usr/share/doc/tamberlo-joyrelay/copyright
)
for path in "${expected[@]}"; do
    grep -Eq " \.${path//./\\.}\$" "$WORK/data.list" || fail "the package does not contain $path"
done
note "$(basename "$deb"): $(stat -c %s "$deb") bytes, Installed-Size $(field Installed-Size) KiB"
note "Depends: $(field Depends)"
note "Recommends: $(field Recommends)"

step "install (apt-get install ./$(basename "$deb"))"
if [[ -n $(installed_state) ]]; then
    note "$PKG is already on this machine ($(installed_state)); purging it first"
    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y "$PKG" || fail "could not purge the old $PKG"
fi
INSTALLED=1
DEBIAN_FRONTEND=noninteractive apt-get install -y "$(realpath "$deb")" ||
    fail "apt-get install of $deb failed"
[[ $(installed_state) == ii* ]] || fail "$PKG is not fully installed after apt-get: '$(installed_state)'"

step "desktop entry"
desktop=/usr/share/applications/$PKG.desktop
desktop-file-validate "$desktop" >"$WORK/desktop.log" 2>&1 || {
    cat "$WORK/desktop.log" >&2
    fail "desktop-file-validate rejects $desktop"
}
cat "$WORK/desktop.log"
grep -Eq ': (error|warning): ' "$WORK/desktop.log" && fail "desktop-file-validate warns about $desktop"
exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[[ $(command -v "$exec_cmd") == /usr/bin/$PKG ]] || fail "Exec=$exec_cmd does not start /usr/bin/$PKG"
[[ $exec_cmd == /usr/bin/$PKG ]] || fail "Exec=$exec_cmd is not the full path KWin's fake-input authorisation needs"
grep -qx 'X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input' "$desktop" ||
    fail "$desktop does not authorise org_kde_kwin_fake_input"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[[ -f /usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "Icon=$icon is not in the hicolor theme"
note "$desktop: valid"

step "AppStream description"
metainfo=/usr/share/metainfo/org.tamberlo.Joyrelay.metainfo.xml
# --no-net: the screenshot's address is not fetched (the check runs offline).
appstreamcli validate --no-net "$metainfo" >"$WORK/metainfo.log" 2>&1 || {
    cat "$WORK/metainfo.log" >&2
    fail "appstreamcli validate rejects $metainfo"
}
cat "$WORK/metainfo.log"
grep -q '<launchable type="desktop-id">tamberlo-joyrelay.desktop</launchable>' "$metainfo" ||
    fail "$metainfo does not launch the installed desktop entry"
note "$metainfo: valid"

step "udev rules"
rules=/usr/lib/udev/rules.d/70-$PKG.rules
check_rules_file "$rules" || fail "$rules has syntax errors"
note "$rules: syntax ok"
if ! command -v udevadm >/dev/null; then
    note "udevadm is not installed: the rules were checked by syntax only"
elif udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --resolve-names=never "$rules" || fail "udevadm verify rejects $rules"
    note "$rules: udevadm verify ok"
else
    note "udevadm $(udevadm --version) has no 'verify'"
fi

# What udev itself makes of the rules: a simulated event run ("udevadm test") for an emulated stick,
# a stick of another class, another vendor's device and uinput, each in a sysfs emulated by
# umockdev. The run writes udev's database, so it gets a private, empty /run.
if command -v udevadm >/dev/null && command -v umockdev-run >/dev/null && unshare -m true 2>/dev/null; then
    usb=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1
    write_device() {  # FILE VENDOR CLASS
        cat >"$1" <<EOF
P: /devices/pci0000:00/0000:00:14.0/usb1/1-1
N: bus/usb/001/002
E: DEVNAME=/dev/bus/usb/001/002
E: DEVTYPE=usb_device
E: DRIVER=usb
E: PRODUCT=$2/2002/101
E: SUBSYSTEM=usb
A: idVendor=$2
A: idProduct=2002
A: bDeviceClass=$3
A: busnum=1
A: devnum=2
A: dev=189:1

P: /devices/virtual/misc/uinput
N: uinput
E: DEVNAME=/dev/uinput
E: SUBSYSTEM=misc
A: dev=10:223
EOF
    }
    write_device "$WORK/stick.umockdev" 2dc8 ff
    write_device "$WORK/class0.umockdev" 2dc8 00
    write_device "$WORK/other.umockdev" 045e ff
    udev_test() {  # DEVICE_FILE SYSFS_PATH -> udev's output, on stdout
        unshare -m sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run && exec "$@"' sh \
            umockdev-run -d "$1" -- udevadm test --action=add "$2" 2>&1
    }
    udev_test "$WORK/stick.umockdev" "$usb" >"$WORK/udev-stick.log" ||
        fail "udevadm test failed: $(tail -n 5 "$WORK/udev-stick.log")"
    if grep -F "$rules:" "$WORK/udev-stick.log"; then fail "udev reports faults in $rules (above)"; fi
    has_uaccess() { grep -Eq '^CURRENT_TAGS=.*:uaccess:' "$1"; }
    has_uaccess "$WORK/udev-stick.log" || fail "udev does not give the stick (2dc8, class ff) the uaccess tag"
    udev_test "$WORK/stick.umockdev" /sys/devices/virtual/misc/uinput >"$WORK/udev-uinput.log" || true
    has_uaccess "$WORK/udev-uinput.log" || fail "udev does not give /dev/uinput the uaccess tag"
    udev_test "$WORK/class0.umockdev" "$usb" >"$WORK/udev-class0.log" || true
    has_uaccess "$WORK/udev-class0.log" && fail "udev gives a 2dc8 device of class 00 the uaccess tag"
    udev_test "$WORK/other.umockdev" "$usb" >"$WORK/udev-other.log" || true
    has_uaccess "$WORK/udev-other.log" && fail "udev gives another vendor's device the uaccess tag"
    note "udev parses $rules without a fault and tags the stick and uinput (only those) with uaccess"
else
    note "umockdev-run or mount namespaces are not available: no simulated udev run"
fi

step "man page"
man=/usr/share/man/man1/$PKG.1.gz
gzip -t "$man" || fail "$man is not a valid gzip file"
if command -v groff >/dev/null; then
    warnings=$(gzip -dc "$man" | groff -man -Tutf8 -ww -z 2>&1) || fail "groff cannot format $man"
    [[ -z $warnings ]] || fail "groff warns about $man: $warnings"
fi
note "$man: ok"

step "run the installed program"
# A private log folder, and no display, so that nothing here starts a tray or touches root's files.
state=$WORK/state
mkdir -p "$state"
run() { env -u DISPLAY -u WAYLAND_DISPLAY XDG_STATE_HOME="$state" timeout 120 "$@"; }
out=$(run "/usr/bin/$PKG" --version) || fail "$PKG --version exited with status $?"
[[ -n $out ]] || fail "$PKG --version printed nothing"
[[ $out == *"$upstream_version"* ]] || fail "$PKG --version says '$out', not version $upstream_version"
note "--version: $out"
sample=/usr/share/$PKG/samples/demo.gip
run "/usr/bin/$PKG" --replay "$sample" --print-keys --fast >"$WORK/keys.out" 2>"$WORK/keys.err" || {
    status=$?
    cat "$WORK/keys.err" >&2
    fail "$PKG --replay $sample --print-keys --fast exited with status $status"
}
[[ -s $WORK/keys.out ]] || fail "the replay of $sample printed no key transitions"
if [[ -f $SRC_DIR/samples/demo.keys ]]; then
    diff -u "$SRC_DIR/samples/demo.keys" "$WORK/keys.out" >&2 ||
        fail "the replay of $sample differs from samples/demo.keys (above)"
    note "--replay: $(wc -l <"$WORK/keys.out") key transitions, the same as samples/demo.keys"
else
    note "--replay: $(wc -l <"$WORK/keys.out") key transitions"
fi

step "remove (apt-get remove --purge)"
dpkg -L "$PKG" >"$WORK/files.list" || fail "dpkg -L $PKG failed"
DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y "$PKG" || fail "apt-get remove --purge $PKG failed"
INSTALLED=0
[[ -z $(installed_state) ]] || fail "$PKG is still known to dpkg after the purge: '$(installed_state)'"
left=()
while IFS= read -r path; do
    [[ $path == /. || -z $path ]] && continue
    [[ -e $path || -L $path ]] || continue
    if [[ -d $path && ! -L $path ]]; then
        # A shared folder may stay when another package owns it or it still holds other files.
        dpkg -S "$path" >/dev/null 2>&1 && continue
        [[ $path != *"$PKG"* && -n $(ls -A "$path") ]] && continue
    fi
    left+=("$path")
done <"$WORK/files.list"
compgen -G "/var/lib/dpkg/info/$PKG.*" >/dev/null && left+=(/var/lib/dpkg/info/"$PKG".*)
((${#left[@]} == 0)) || fail "left behind after the purge: ${left[*]}"
note "nothing of the $(grep -c . "$WORK/files.list") paths the package installed is left"

printf '\ncheck-package: PASS (%s %s, %s bytes)\n' "$PKG" "$version" "$(stat -c %s "$deb")"
