#!/usr/bin/env bash
# The console switches where only a Linux shell can put them, one check a run:
#   pty    copies in siteЖ and siteé on a real console (a pseudo-terminal from
#          util-linux's script, where Wine gives the program one): the name
#          whole through WriteConsoleW, the exit codes those of a pipe; and
#          redirected to a file after chcp, in the console's code page
#   short  a copy started through its 8.3 path, as Wine's loader starts a
#          program so named from a Linux shell (one started by another
#          Windows program gets the long form of its path from Wine): named
#          after, and registered as, the long path
#   noscm  -install and -remove with no service manager to reach (Wine grants
#          every right, so this stands for an unelevated console): services.exe
#          kept from starting for that one command, the prefix's server stopped
#          first; nothing on standard output, one line on standard error naming
#          the step and the error, that error as exit code (Linux keeps its low
#          byte)
# Each prints what it saw and, last, a "said:" line; non-zero exit on failure.
# Usage: console_checks.sh pty|short|noscm HOST_EXE   (QELN_E2E_HOST overrides
# HOST_EXE; WINEPREFIX names the prefix, made when missing)
set -uo pipefail
check="$1"
exe="${QELN_E2E_HOST:-$2}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
prefix="${WINEPREFIX:?}"
server=/usr/lib/wine/wineserver
export WINEDEBUG=-all LC_ALL=C.UTF-8 LANG=C.UTF-8
bash "$root/scripts/bootstrap.sh" --prefix "$prefix" || exit 1
loader=/usr/lib/wine/wine
x86_64-w64-mingw32-objdump -f "$exe" | grep -q 'x86-64' && loader=/usr/lib/wine/wine64
drive="$prefix/drive_c"
win() { WINEPREFIX="$prefix" timeout 120 "$@" </dev/null; }

case "$check" in
pty)
  failed=0
  rm -rf "$drive/qelnpty" && mkdir -p "$drive/qelnpty" || exit 1
  on_console() { # the command line, run on a pseudo-terminal
    win script -qec "$1" /dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r'
    return "${PIPESTATUS[0]}"
  }
  for leaf in siteЖ siteé; do
    name="QELN${leaf: -1}" copy="C:\\qelnpty\\$leaf\\qelnhost.exe"
    mkdir -p "$drive/qelnpty/$leaf" && cp "$exe" "$drive/qelnpty/$leaf/" || exit 1
    for row in "-install|$name installed.|0" "-install||255" "-remove|$name removed.|0" "-remove||0"; do
      IFS='|' read -r option want code <<<"$row"
      # The terminal's cursor sequences and carriage returns go before comparing.
      out="$(on_console "$loader '$copy' $option")"
      got=$?
      echo "$leaf\\qelnhost.exe $option on a console: '$out', exit code $got"
      [ "$out" = "$want" ] && [ "$got" = "$code" ] || failed=1
    done
  done
  # Redirected to a file, as installers capture it, the message is in the
  # console's code page once chcp has changed it; a letter the page lacks is
  # "?", never a look-alike (code page 1251 would take "e" for é).
  for row in '1251|siteЖ|QELN\306' '65001|siteé|QELN\303\251' '1251|siteé|QELN?'; do
    IFS='|' read -r page leaf want <<<"$row"
    copy="C:\\qelnpty\\$leaf\\qelnhost.exe"
    on_console "/usr/lib/wine/wine64 cmd /c 'chcp $page >nul & $copy -install > C:\\qelnpty\\out.txt & $copy -remove >nul'" >/dev/null
    got="$(od -An -c "$drive/qelnpty/out.txt" | tr -s ' \n' ' ')"
    want="$(printf "$want installed.\n" | od -An -c | tr -s ' \n' ' ')"
    echo "$leaf\\qelnhost.exe -install in code page $page, into a file:$got"
    [ "$got" = "$want" ] || failed=1
    rm -f "$drive/qelnpty/out.txt"
  done
  rm -rf "$drive/qelnpty"
  [ "$failed" = 0 ] && echo "said: QELNЖ and QELNé named whole on a console, in code pages 1251 and 65001 in a file"
  exit "$failed"
  ;;
short)
  rm -rf "$drive/qelnshort" && mkdir -p "$drive/qelnshort/instance-3" && cp "$exe" "$drive/qelnshort/instance-3/" || exit 1
  short="$(win /usr/lib/wine/wine64 cmd /c 'dir /x C:\qelnshort' | tr -d '\r' |
    awk '$NF == "instance-3" { print $(NF - 1) }')"
  run() { win "$loader" "C:\\qelnshort\\$short\\qelnhost.exe" "$1" 2>&1 | tr -d '\r'; }
  out="$(run -install)"
  image="$(win /usr/lib/wine/wine64 reg query 'HKLM\SYSTEM\CurrentControlSet\Services\QELN3' /v ImagePath 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *ImagePath *REG_[A-Z_]* *//p')"
  removed="$(run -remove)"
  rm -rf "$drive/qelnshort"
  echo "started as C:\\qelnshort\\$short\\qelnhost.exe: '$out', ImagePath '$image', then '$removed'"
  [ -n "$short" ] && [ "$short" != instance-3 ] && [ "$out" = "QELN3 installed." ] &&
    [ "$image" = '"C:\qelnshort\instance-3\qelnhost.exe"' ] && [ "$removed" = "QELN3 removed." ] || exit 1
  echo "said: started by its 8.3 path, named and registered by the long path"
  ;;
noscm)
  for option in -install -remove; do
    WINEPREFIX="$prefix" "$server" -k >/dev/null 2>&1
    out="$(WINEDLLOVERRIDES=services.exe=d win "$loader" "$exe" "$option" 2>"$prefix/noscm.err")"
    code=$?
    err="$(tr -d '\r' <"$prefix/noscm.err" |
      grep -E '^(Install|Remove) failed while opening the service manager: error [1-9][0-9]*\.$')"
    number="$(sed -n 's/.*: error \([0-9]*\).*/\1/p' <<<"$err")"
    echo "$option with no service manager: exit code $code, standard output '$out', standard error '$err'"
    [ -z "$out" ] && [ "$(wc -l <<<"$err")" -eq 1 ] && [ -n "$number" ] &&
      [ "$code" -eq $((number % 256)) ] && [ "$code" -ne 0 ] || exit 1
  done
  WINEPREFIX="$prefix" "$server" -k >/dev/null 2>&1
  echo "said: with no service manager, -install and -remove exit with error $number, named on standard error"
  ;;
*) echo "console_checks.sh: unknown check '$check'" >&2; exit 2 ;;
esac
