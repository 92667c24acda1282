#!/usr/bin/env bash
# Builds the Debian package of a build tree with cpack and checks it: lintian reports no error or
# warning, and the menu entry is valid. Exits 77 when a checker is not installed (after building).
# Usage: check-package.sh CPACK BUILD_DIR OUT_DIR DESKTOP_FILE
set -euo pipefail
cpack=$1 build=$2 out=$3 desktop=$4

rm -rf "$out"
mkdir -p "$out"
if ! (cd "$build" && "$cpack" -G DEB -B "$out" >"$out/cpack.log" 2>&1); then
  cat "$out/cpack.log"
  exit 1
fi
debs=("$out"/*.deb)
deb=${debs[0]}
dpkg-deb --info "$deb"

unchecked=0
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop"
else
  echo "desktop-file-validate is not installed: the menu entry is not checked"
  unchecked=1
fi
if command -v lintian >/dev/null; then
  # Info tags are shown but do not fail; every error or warning does.
  lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb"
else
  echo "lintian is not installed: the package is built but not checked"
  unchecked=1
fi
[ "$unchecked" = 0 ] || exit 77
