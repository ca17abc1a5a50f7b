#!/usr/bin/env bash
# Builds the Debian packages (debian/) from a copy of the source tree, so the
# tree itself stays clean, and checks them with lintian: an error fails, the
# warnings are printed.
#   scripts/package.sh [OUT_DIR]    (default: build/packages)
# The .deb files land in OUT_DIR; lintian's report in OUT_DIR/lintian.txt.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$src/build/packages}")
rm -rf "$out"
mkdir -p "$out/hksrv"

# The files git knows, and new ones it does not ignore: what a clean clone
# with the working tree's changes would hold.
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
   xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
   tar --null -T - -cf -) | tar -xf - -C "$out/hksrv"

(cd "$out/hksrv" && dpkg-buildpackage --build=binary --no-sign --jobs=2) > "$out/build.log" 2>&1 ||
   { tail -n 50 "$out/build.log"; echo "package build failed: $out/build.log"; exit 1; }

status=0
lintian --fail-on error "$out"/*.changes > "$out/lintian.txt" 2>&1 || status=$?
cat "$out/lintian.txt"
[ "$status" -eq 0 ] || { echo "lintian found errors"; exit 1; }
ls "$out"/*.deb
