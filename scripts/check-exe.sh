#!/usr/bin/env bash
# Checks a built qelnhost.exe: the PE kind of its toolchain, at most 64 KiB,
# and imports from KERNEL32, ADVAPI32 and msvcrt only (no USER32, nothing that
# is not part of Windows). Prints one PASS or FAIL line; non-zero on FAIL.
# Usage: scripts/check-exe.sh EXE OBJDUMP-PREFIX (i686-w64-mingw32- or x86_64-w64-mingw32-)
set -uo pipefail
exe="$1"
tool="${2}objdump"
case "$2" in
  i686-*) want_format=pei-i386 want_magic='010b' kind="PE32 i386" ;;
  x86_64-*) want_format=pei-x86-64 want_magic='020b' kind="PE32+ x86-64" ;;
  *) echo "FAIL  $exe: unknown toolchain prefix $2"; exit 2 ;;
esac
[ -f "$exe" ] || { echo "FAIL  $exe was not produced"; exit 1; }
header="$("$tool" -f "$exe" 2>&1)"
private="$("$tool" -p "$exe" 2>&1)"
size="$(stat -c %s "$exe")"
dlls="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$private" | tr '\n' ' ' | sed 's/ $//')"
problems=()
grep -q "file format $want_format" <<<"$header" &&
  grep -qE "Magic[[:space:]]+$want_magic" <<<"$private" || problems+=("not a $kind image")
[ "$size" -le 65536 ] || problems+=("larger than 64 KiB")
for dll in $dlls; do
  case "${dll^^}" in KERNEL32.DLL | ADVAPI32.DLL | MSVCRT.DLL) ;; *) problems+=("imports $dll") ;; esac
done
if [ ${#problems[@]} -eq 0 ]; then
  echo "PASS  $exe is a $kind image of $size bytes importing $dlls"
else
  echo "FAIL  $exe ($size bytes, importing $dlls): $(IFS=';'; echo "${problems[*]}" | sed 's/;/; /g')"
  exit 1
fi
