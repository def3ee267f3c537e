#!/usr/bin/env bash
# Checks a built qelnhost.exe: the image kind matches the toolchain (PE32 i386
# for i686-w64-mingw32-, PE32+ x86-64 for x86_64-w64-mingw32-), the file is at
# most 64 KiB, and it imports only KERNEL32, ADVAPI32 and msvcrt (any case).
# USER32 would connect the service to a window station; any other DLL would
# have to ship with it. Its version resource names the company, describes the
# file, gives the project's version (CMakeLists.txt) as file and product
# version, and "qelnhost.exe" as original and internal name. Prints one PASS or
# FAIL line, with the file's SHA-256; exits non-zero on FAIL.
# Usage: scripts/check-exe.sh EXE OBJDUMP_PREFIX   (e.g. i686-w64-mingw32-)
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 EXE OBJDUMP_PREFIX" >&2
  exit 2
fi
exe="$1"
prefix="$2"
max_bytes=65536

case "$prefix" in
  i686-w64-mingw32-) kind="PE32 i386" format=pei-i386 arch=i386 magic='010b[[:space:]]+\(PE32\)' ;;
  x86_64-w64-mingw32-) kind="PE32+ x86-64" format=pei-x86-64 arch=i386:x86-64 magic='020b[[:space:]]+\(PE32\+\)' ;;
  *) echo "FAIL  $exe: unknown objdump prefix '$prefix'"; exit 1 ;;
esac

if [ ! -f "$exe" ]; then
  echo "FAIL  $exe: not found"
  exit 1
fi

problems=()
header="$("${prefix}objdump" -f "$exe" 2>&1)"
private="$("${prefix}objdump" -p "$exe" 2>&1)"
if ! grep -q "file format $format\$" <<<"$header" ||
   ! grep -q "architecture: $arch," <<<"$header" ||
   ! grep -qE "Magic[[:space:]]+$magic" <<<"$private"; then
  problems+=("not a $kind image")
fi

size="$(stat -c %s "$exe")"
[ "$size" -le "$max_bytes" ] || problems+=("larger than $max_bytes bytes")

dlls="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$private" | tr '\n' ' ' | sed 's/ $//')"
[ -n "$dlls" ] || problems+=("no imports found")
for dll in $dlls; do
  case "${dll^^}" in
    KERNEL32.DLL | ADVAPI32.DLL | MSVCRT.DLL) ;;
    *) problems+=("imports $dll") ;;
  esac
done

# The version resource, as windres reads it back out of the image.
version="$(sed -n 's/^project(qelnhost VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")"
resource="$("${prefix}windres" -i "$exe" -O rc 2>/dev/null)"
for field in 'CompanyName|Quellith Group' 'FileDescription|[^"]+' "FileVersion|$version" \
  "ProductVersion|$version" 'OriginalFilename|qelnhost\.exe' 'InternalName|qelnhost\.exe'; do
  grep -qE "^ *VALUE \"${field%%|*}\", \"${field#*|}\"\$" <<<"$resource" ||
    problems+=("no version resource ${field%%|*}")
done

facts="$size bytes, importing ${dlls:-nothing}, version ${version:-?}, SHA-256 $(sha256sum "$exe" | cut -c1-64)"
if [ ${#problems[@]} -eq 0 ]; then
  echo "PASS  $exe: $kind image, $facts"
  exit 0
else
  reasons="$(printf '%s; ' "${problems[@]}")"
  echo "FAIL  $exe (wanted a $kind image): $facts (${reasons%; })"
  exit 1
fi
