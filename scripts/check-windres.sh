#!/usr/bin/env bash
# Compiles the executable's Windows resource script (as CMake generated it
# in the build tree) with MinGW's windres to a temporary .res, so a broken
# .rc, icon or manifest shows up on Linux CI.
# Usage: check-windres.sh <build>/generated/ondaline.rc <version>
set -euo pipefail
RC=${1:?the generated ondaline.rc}
VERSION=${2:?the project version}
WINDRES=${WINDRES:-x86_64-w64-mingw32-windres}
command -v "$WINDRES" >/dev/null || { echo "check-windres: $WINDRES not found (binutils-mingw-w64-x86-64)" >&2; exit 1; }
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
cd "$(dirname "$RC")"
# MinGW headers are not needed (the script includes none); the host C
# preprocessor stands in for the cross compiler windres would call.
"$WINDRES" --preprocessor=cpp --input-format=rc --output-format=coff -i "$(basename "$RC")" -o "$OUT/ondaline.res"
# The resource must carry the icon group, the version and the manifest.
size=$(stat -c %s "$OUT/ondaline.res")
[ "$size" -gt 100000 ] || { echo "check-windres: ondaline.res is only $size bytes; the icon is missing" >&2; exit 1; }
for text in "Ondaline.exe" "$VERSION.0" "asInvoker"; do
  # UTF-16LE strings in the version block, plain bytes in the manifest
  if ! grep -aq "$text" "$OUT/ondaline.res" \
     && ! grep -aqP "$(printf '%s' "$text" | sed 's/\./\\./g; s/[^\\]/&\\x00/g')" "$OUT/ondaline.res"; then
    echo "check-windres: \"$text\" not found in ondaline.res" >&2; exit 1
  fi
done
echo "check-windres: ondaline.rc compiles ($size bytes)"
