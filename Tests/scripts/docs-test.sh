#!/usr/bin/env bash
# The README and the man page say what the program does: every option `--help` prints is in the
# README's command-line table and among the man page's options, and the key outputs and focus sources
# the program itself names are listed, all of them and no others, in both.
#
#   docs-test.sh PROGRAM SOURCE_DIR
set -euo pipefail
program=$1 src=$2
readme=$src/README.md man=$src/packaging/tamberlo-joyrelay.1
faults=0
fault() { echo "docs-test: $*"; faults=1; }
# The man page's text with its escapes undone: \- is -.
man_text=$(sed 's/\\-/-/g' "$man")

# The options --help prints, each at the start of a line after two spaces.
mapfile -t options < <("$program" --help | sed -n 's/^  \(--[a-z-]*\).*/\1/p')
((${#options[@]} >= 8)) || fault "--help lists only ${#options[@]} options: ${options[*]}"
readme_rows=$(sed -n '/^## Command line/,/^## /p' "$readme" | grep '^| ')
man_options=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' <<<"$man_text" | grep -E '^\.(B|BI|BR) ')
for option in "${options[@]}"; do
  grep -q -- "\`$option" <<<"$readme_rows" || fault "$option is not in the README's command-line table"
  grep -qE -- "^\.(B|BI|BR) $option( |\$)" <<<"$man_options" || fault "$option is not among the man page's options"
done

# same_set WHAT LIST1 LIST2: the two lists (one name a line) hold the same names.
same_set() {
  local what=$1
  if [[ $(sort -u <<<"$2") != $(sort -u <<<"$3") ]]; then
    fault "$what: the program has [$(sort -u <<<"$2" | tr '\n' ' ')], the document [$(sort -u <<<"$3" | tr '\n' ' ')]"
  fi
}
# The names in a text like "a, b, c or d".
names() { sed 's/ or /, /g; s/, /\n/g' | sed 's/[^a-z0-9-]//g' | grep .; }
# The .B words of the man page's paragraph of the item that starts with $1 (up to the next .TP).
man_values() { awk -v item="$1" '/^\.TP/{inside=0} $0 ~ item{inside=1} inside && /^\.BR? [a-z]/{print $2}' <<<"$man_text"; }

# Key outputs: the program names them when refusing an unknown one.
outputs=$("$program" --key-output '?' 2>&1 | sed -n 's/.*--key-output must be //p' | names) || true
[[ -n $outputs ]] || fault "the program did not name its key outputs"
# readme_lists PREFIX: each `PREFIXa|b|c` of the README (in a table, `a\|b`), one a line, as "a, b, c".
readme_lists() { grep -o "\`$1[^\`]*\`" "$readme" | sed "s/\`$1//; s/\`//; s/\\\\\\?|/, /g"; }
while IFS= read -r list; do same_set "--key-output in the README" "$outputs" "$(names <<<"$list")"; done < <(readme_lists '--key-output ')
same_set "--key-output in the man page" "$outputs" "$(man_values '^\.BI --key-output')"

# Focus sources: the program names them when JOYRELAY_FOCUS names none of them.
focus=$(env -u DISPLAY -u WAYLAND_DISPLAY XDG_STATE_HOME="$(mktemp -d)" JOYRELAY_FOCUS='?' timeout 60 \
  "$program" --headless --replay "$src/samples/demo.gip" --fast 2>&1 >/dev/null |
  sed -n 's/.*Focus: none (JOYRELAY_FOCUS=? names no focus provider (\([^)]*\)).*/\1/p' | names) || true
[[ -n $focus ]] || fault "the program did not name its focus sources"
while IFS= read -r list; do same_set "JOYRELAY_FOCUS in the README" "$focus" "$(names <<<"$list")"; done < <(readme_lists JOYRELAY_FOCUS=)
same_set "JOYRELAY_FOCUS in the man page" "$focus" "$(man_values '^\.B JOYRELAY_FOCUS')"

# The desktops the program reads the focus on are not said to have none.
if grep -E '^\| .*(KDE|GNOME).*\| *nothing' "$readme"; then fault "the README's focus table says KDE Plasma or GNOME have no focus source"; fi

((faults == 0)) && echo "docs-test: ${#options[@]} options, $(wc -l <<<"$outputs") key outputs, $(wc -l <<<"$focus") focus sources documented alike"
exit "$faults"
