#!/usr/bin/env bash
# Checks a built qelnhost.exe: the image kind matches the toolchain (PE32 i386
# for i686-w64-mingw32-, PE32+ x86-64 for x86_64-w64-mingw32-), the file is at
# most 64 KiB, and it imports only KERNEL32, ADVAPI32 and msvcrt (any case).
# USER32 would connect the service to a window station; any other DLL would
# have to ship with it. Its header declares the oldest Windows it runs on as
# its OS and subsystem version: 5.1 (XP SP3) for i686, 5.2 (XP x64, Server
# 2003 x64) for x86-64. Each function it imports is on the list below of those
# present on Windows XP; one that is not (a Vista one, or a test's) would stop
# the program from loading there, or shows code that does not belong in it.
# Its application manifest (type 24, id 1, its bytes read out of the image)
# asks to run asInvoker without uiAccess, in a trustInfo of the asm.v2
# namespace, and names Windows Vista, 7, 8, 8.1 and 10/11 as supported. Its
# version resource names the company, describes the file, gives the project's
# version (CMakeLists.txt) as file and product version, and "qelnhost.exe" as
# original and internal name. A signed image (scripts/sign.sh) has its
# Authenticode signatures verified by osslsigncode against the roots in the file
# QELN_CHECK_CA_FILE names (the system's when unset), each timestamp too: one
# that does not verify, or a file changed after signing, fails; the 64 KiB are
# then the image's without its signatures. Prints one PASS or FAIL line, with
# the number of functions imported, each signature's digest, signer and
# timestamp, and the file's SHA-256; exits non-zero on FAIL.
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
  i686-w64-mingw32-) kind="PE32 i386" format=pei-i386 arch=i386 magic='010b[[:space:]]+\(PE32\)' os=5.1 ;;
  x86_64-w64-mingw32-) kind="PE32+ x86-64" format=pei-x86-64 arch=i386:x86-64 magic='020b[[:space:]]+\(PE32\+\)' os=5.2 ;;
  *) echo "FAIL  $exe: unknown objdump prefix '$prefix'"; exit 1 ;;
esac

# Adding a function here is a deliberate act: first check that Microsoft documents it for Windows XP or earlier.
kernel32=(
  AssignProcessToJobObject Beep CloseHandle CreateJobObjectW CreateProcessW DeleteCriticalSection
  EnterCriticalSection ExitProcess FreeLibrary GetConsoleMode GetConsoleOutputCP GetExitCodeProcess
  GetLastError GetLongPathNameW GetModuleFileNameW GetModuleHandleA GetProcAddress GetProcessHeap
  GetStartupInfoA GetStdHandle HeapAlloc HeapFree InitializeCriticalSection LeaveCriticalSection
  LoadLibraryA LocalFree ResumeThread SetInformationJobObject SetLastError SetUnhandledExceptionFilter Sleep
  TerminateProcess TlsGetValue VirtualProtect VirtualQuery WaitForSingleObject WideCharToMultiByte
  WriteConsoleW WriteFile
  __C_specific_handler # x86-64 only: crt2.o, the startup code, imports it; documented without a version
)
advapi32=(
  CloseServiceHandle ControlService CreateServiceW DeleteService GetNamedSecurityInfoW OpenSCManagerW OpenServiceW
  QueryServiceStatus RegCloseKey RegCreateKeyExW RegDeleteValueW RegOpenKeyExW RegOpenKeyW
  RegQueryValueExW RegSetValueExW RegisterServiceCtrlHandlerW SetServiceStatus StartServiceCtrlDispatcherW
)
# The C runtime's startup code imports most of these; the rest are the product's own.
msvcrt=(
  __C_specific_handler __getmainargs __initenv __iob_func __p__acmdln __p__commode __p__fmode
  __set_app_type __setusermatherr _acmdln _amsg_exit _cexit _commode _fmode _initterm _iob _onexit
  _stricmp abort calloc exit fprintf free fwrite malloc memcpy signal strlen strncmp vfprintf
)

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
# The certificate table: its file offset and size (0 0 unsigned).
read -r table table_size < <(awk '/^Entry 4 .* Security Directory/ { print $3, $4 }' <<<"$private")
image="$size"
signatures=""
if [ "$((16#${table_size:-0}))" -gt 0 ]; then
  image="$((16#$table))"
  ca="${QELN_CHECK_CA_FILE:-/etc/ssl/certs/ca-certificates.crt}"
  verified="$(osslsigncode verify -in "$exe" -CAfile "$ca" -TSA-CAfile "$ca" 2>"$exe.verify-errors")"
  status=$?
  all="$verified"$'\n'"$(cat "$exe.verify-errors")"
  rm -f "$exe.verify-errors"
  count() { grep -c "$1" <<<"$all"; }
  signatures="$(awk '/^Signature Index:/ { n++; signer = 0 }
    /^Message digest algorithm  *:/ && !(n in digest) { digest[n] = $NF }
    /^Signer.s certificate:/ { signer = 1 }
    signer && /Subject:/ { sub(/.*Subject: */, ""); who[n] = $0; signer = 0 }
    /Timestamp time:/ { sub(/.*Timestamp time: */, ""); stamp[n] = $0 }
    END { for (i = 1; i <= n; i++) printf "%s%s by %s, %s", (i > 1 ? "; " : ""), digest[i], who[i],
            (i in stamp ? "timestamped " stamp[i] : "no timestamp") }' <<<"$verified")"
  [ "$status" -eq 0 ] && [ "$(count '^Signature Index:')" -gt 0 ] &&
    [ "$(count '^Signature verification: ok')" = "$(count '^Signature Index:')" ] &&
    [ "$(count 'Timestamp Server Signature verification: ok')" = "$(count 'Timestamp time:')" ] &&
    [ "$(count 'MISMATCH\|failed')" = 0 ] ||
    problems+=("a signature does not verify: $(grep -m 3 -i 'MISMATCH\|failed\|error' <<<"$all" | tr -s ' \t\n' ' ')")
fi
[ "$image" -le "$max_bytes" ] || problems+=("larger than $max_bytes bytes")

header_value() { awk -v name="$1" '$1 == name { v = $2; exit } END { print (v == "" ? "?" : v) }' <<<"$private"; }
declared="$(header_value MajorOSystemVersion).$(header_value MinorOSystemVersion)"
[ "$declared" = "$os" ] || problems+=("declares OS $declared, not $os")
declared="$(header_value MajorSubsystemVersion).$(header_value MinorSubsystemVersion)"
[ "$declared" = "$os" ] || problems+=("declares subsystem $declared, not $os")

dlls="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$private" | tr '\n' ' ' | sed 's/ $//')"
[ -n "$dlls" ] || problems+=("no imports found")
for dll in $dlls; do
  case "${dll^^}" in
    KERNEL32.DLL | ADVAPI32.DLL | MSVCRT.DLL) ;;
    *) problems+=("imports $dll") ;;
  esac
done

# The import tables: one "DLL HINT NAME" line a function ("<none>" for one
# imported by ordinal, HINT then being the ordinal).
imports="$(awk '/^[^[:space:]]/ { t = /^The Import Tables/ }
  t && /DLL Name: / { dll = $3 }
  t && /^\t[0-9a-f]+\t +[0-9]+ / { print dll, $2, $3 }' <<<"$private")"
functions=0
while read -r dll hint name; do
  [ -n "$dll" ] || continue
  functions=$((functions + 1))
  case "${dll^^}" in
    KERNEL32.DLL) list=" ${kernel32[*]} " ;;
    ADVAPI32.DLL) list=" ${advapi32[*]} " ;;
    MSVCRT.DLL) list=" ${msvcrt[*]} " ;;
    *) continue ;;
  esac
  [ "$name" != "<none>" ] || name="ordinal $hint"
  [[ "$list" == *" $name "* ]] ||
    problems+=("imports $name from $dll, not on the list of functions present on Windows XP")
done <<<"$imports"

# The application manifest: where its bytes are (resource type 0x18, name 1,
# any language), from the resource directory as objdump prints it, each level
# two columns further in; then the file offset from the .rsrc section header.
read -r leaf leaf_size < <(awk '/Entry: / { c = index($0, "Entry"); if (!top) top = c
    id = ($2 == "Entry:" && $3 == "ID:") ? $4 : "named"
    if (c == top) type = id; else if (c == top + 2) name = id }
  /Leaf: Addr: / && type == "0x000018," && name == "0x000001," { print $4, $6; exit }' <<<"$private" | tr -d ,)
manifest=""
if [ -n "${leaf:-}" ] && read -r _ _ _ vma _ offset _ < <("${prefix}objdump" -h "$exe" | awk '$2 == ".rsrc"'); then
  base="$(header_value ImageBase)"
  start=$((leaf - (16#$vma - 16#$base) + 16#$offset))
  manifest="$(tail -c +$((start + 1)) "$exe" | head -c $((leaf_size)) | tr '\0\r\n\t' '    ')"
fi
if [ -z "$manifest" ]; then
  problems+=("no manifest resource (type 24, id 1)")
else
  # Element, attribute (an extended regular expression) and, for supportedOS, the version.
  for want in 'requestedExecutionLevel|level="asInvoker"' 'requestedExecutionLevel|uiAccess="false"' \
    'trustInfo|xmlns="urn:schemas-microsoft-com:asm[.]v2"' \
    'supportedOS|Id="[{]e2011457-1546-43c5-a5fe-008deee3d3f0[}]"|Windows Vista' \
    'supportedOS|Id="[{]35138b9a-5d96-4fbd-8e2d-a2440225f93a[}]"|Windows 7' \
    'supportedOS|Id="[{]4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38[}]"|Windows 8' \
    'supportedOS|Id="[{]1f676c76-80e1-4239-95bb-83d0f6d0da78[}]"|Windows 8.1' \
    'supportedOS|Id="[{]8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a[}]"|Windows 10/11'; do
    IFS='|' read -r element attribute os_name <<<"$want"
    grep -qE "<${element}[[:space:]]([^>]*[[:space:]])?$attribute" <<<"$manifest" ||
      problems+=("manifest has no $element ${os_name:+for }${os_name:-${attribute//[][]/}}")
  done
fi

# The version resource, as windres reads it back out of the image.
version="$(sed -n 's/^project(qelnhost VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")"
resource="$("${prefix}windres" -i "$exe" -O rc 2>/dev/null)"
for field in 'CompanyName|Quellith Group' 'FileDescription|[^"]+' "FileVersion|$version" \
  "ProductVersion|$version" 'OriginalFilename|qelnhost\.exe' 'InternalName|qelnhost\.exe'; do
  grep -qE "^ *VALUE \"${field%%|*}\", \"${field#*|}\"\$" <<<"$resource" ||
    problems+=("no version resource ${field%%|*}")
done

facts="$image bytes${signatures:+ and $((size - image)) of signatures ($signatures)}, importing ${dlls:-nothing} ($functions functions), version ${version:-?}, SHA-256 $(sha256sum "$exe" | cut -c1-64)"
if [ ${#problems[@]} -eq 0 ]; then
  echo "PASS  $exe: $kind image, $facts"
  exit 0
else
  reasons="$(printf '%s; ' "${problems[@]}")"
  echo "FAIL  $exe (wanted a $kind image): $facts (${reasons%; })"
  exit 1
fi
