#!/usr/bin/env bash
# Checks the GNOME Shell extension's two forms (legacy/: GNOME 40-44, module/: 45 and later): each
# metadata.json is valid JSON naming the folder's uuid and only its own range of versions, and
# `gnome-extensions pack` packs each folder.
#   check-extension.sh EXTENSION_DIR
set -euo pipefail
root=$1
if ! command -v gnome-extensions >/dev/null; then
  echo "gnome-extensions is not installed (it comes with gnome-shell): skipped"
  exit 77
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for form in legacy module; do
  dir=$(echo "$root/$form"/*@*)
  uuid=$(basename "$dir")
  python3 - "$dir/metadata.json" "$uuid" "$form" <<'PY'
import json, sys
path, uuid, form = sys.argv[1:]
meta = json.load(open(path))
assert meta["uuid"] == uuid, f"{path}: uuid {meta['uuid']!r} is not the folder's {uuid!r}"
versions = [int(v.split(".")[0]) for v in meta["shell-version"]]
if form == "legacy":
    assert all(v < 45 for v in versions), f"{path}: the imports form cannot run on GNOME 45+: {versions}"
else:
    assert all(v >= 45 for v in versions), f"{path}: the module form needs GNOME 45+: {versions}"
for key in ("name", "description"):
    assert meta.get(key), f"{path}: no {key}"
PY
  grep -q "org.tamberlo.Joyrelay.ShellFocus" "$dir/extension.js"
  if [[ $form == module ]]; then
    grep -q '^export default class' "$dir/extension.js" || { echo "$dir: no default export"; exit 1; }
  else
    grep -q '^function init' "$dir/extension.js" || { echo "$dir: no init()"; exit 1; }
  fi
  mkdir -p "$out/$form"
  gnome-extensions pack "$dir" --out-dir="$out/$form" --force
  [[ -s $out/$form/$uuid.shell-extension.zip ]] || { echo "$dir: gnome-extensions pack made nothing"; exit 1; }
  echo "$form: $uuid packs ($(stat -c %s "$out/$form/$uuid.shell-extension.zip") bytes)"
done
[[ $(diff <(sed 1,6d "$root/legacy"/*@*/extension.js | grep -o "'[a-z-]*': str(.*)") \
          <(sed 1,6d "$root/module"/*@*/extension.js | grep -o "'[a-z-]*': str(.*)")) == "" ]] ||
  { echo "the two forms publish different ids"; exit 1; }
