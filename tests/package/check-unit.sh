#!/usr/bin/env bash
# Checks relaymqtt's systemd template with systemd-analyze verify, as an instance, with the program
# it starts taken from the build tree (the installed one need not exist). Exits 77 when
# systemd-analyze is not installed.
# Usage: check-unit.sh UNIT_FILE RELAYMQTT OUT_DIR
set -euo pipefail
unit=$1 program=$2 out=$3

command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed"; exit 77; }
rm -rf "$out"
mkdir -p "$out"
# The manual page is not installed here either; every other line is checked as it stands.
sed -e "s|/usr/bin/relaymqtt|$program|" -e '/^Documentation=man:/d' "$unit" >"$out/relaymqtt@.service"
ln -s relaymqtt@.service "$out/relaymqtt@board1.service"
report=$(cd "$out" && systemd-analyze verify ./relaymqtt@board1.service 2>&1)
[ -z "$report" ] || { echo "$report"; exit 1; }
