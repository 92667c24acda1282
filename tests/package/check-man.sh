#!/usr/bin/env bash
# Formats every manual page as man would and fails on any warning: a broken request, a bad font
# escape, a line that cannot be filled. lexgrog checks that the NAME section reads as whatis needs.
# Usage: check-man.sh PAGE...
set -uo pipefail
command -v man >/dev/null && command -v lexgrog >/dev/null || { echo "man-db is not installed" >&2; exit 77; }
failed=0
for page in "$@"; do
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ $? -ne 0 ] || [ -n "$warnings" ]; then
    echo "$page: ${warnings:-man failed}" >&2
    failed=1
  fi
  if ! lexgrog "$page" >/dev/null; then
    echo "$page: lexgrog finds no usable NAME section" >&2
    failed=1
  fi
done
[ $failed -eq 0 ] && echo "$# manual pages: no warnings"
exit $failed
