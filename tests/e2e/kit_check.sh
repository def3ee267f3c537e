#!/usr/bin/env bash
# The kit for real Windows, packed by scripts/kit.sh, run as an administrator
# runs it there, from its run.cmd, under Wine's cmd with the 32-bit drivers
# (which 32-bit Windows needs):
#   - it passes: exit code 0, and its summary lists every table of the
#     drivers, each PASS;
#   - with no argument, on a 64-bit Windows, it picks the x64 drivers;
#   - with a table that fails (its test child missing) it says FAIL for that
#     table and PASS for the one beside it, and exits non-zero;
#   - neither run leaves anything: no QELN service, no C:\qeln test\, and the
#     UPS area as it was (a value put there first, as a machine's own).
# Logs in the working directory; the last line a "said:" line.
# Usage: kit_check.sh   (WINEPREFIX names the prefix, made when missing)
set -uo pipefail
unset GTEST_FILTER
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
prefix="${WINEPREFIX:?}"
export WINEDEBUG=-all LC_ALL=C.UTF-8 LANG=C.UTF-8
bash "$root/scripts/bootstrap.sh" --prefix "$prefix" || exit 1
if ! bash "$root/scripts/kit.sh" >kit-build.log 2>&1; then
  tail -n 20 kit-build.log
  exit 1
fi
kit='C:\qeln-kit'
win() { WINEPREFIX="$prefix" timeout 120 /usr/lib/wine/wine64 "$@" </dev/null 2>/dev/null | tr -d '\r'; }
ups='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1
rm -rf "$prefix/drive_c/qeln-kit" "$prefix/drive_c/qeln test"
(cd "$prefix/drive_c" && cmake -E tar xf "$root/build/kit/qeln-kit.zip") || exit 1
win reg add "$ups\\Config" /v Vendor /t REG_SZ /d "a machine's own" /f >/dev/null
before="$(win reg query "$ups" /s)"
failed=0
# Runs run.cmd with the filter $1 (all tables when empty); its summary lines
# sorted into $2, what it left into `left`.
run_kit() {
  (if [ -n "$1" ]; then export GTEST_FILTER="$1"; fi
    WINEPREFIX="$prefix" exec timeout 1800 /usr/lib/wine/wine64 cmd /c "$kit\\run.cmd" x86 </dev/null >"$2.log" 2>&1)
  code=$?
  tr -d '\r' <"$2.log" | grep -E '^(PASS|FAIL)  ' | sort >"$2"
  left="$(win reg query 'HKLM\SYSTEM\CurrentControlSet\Services' | grep -i '\\QELN' | tr '\n' ' ')"
  [ -e "$prefix/drive_c/qeln test" ] && left+="C:\\qeln test "
  [ "$(win reg query "$ups" /s)" = "$before" ] || left+="the UPS area changed"
  echo "run.cmd x86${1:+ with GTEST_FILTER=$1}: exit code $code, $(wc -l <"$2") tables, left: ${left:-nothing}"
  [ -z "$left" ] || failed=1
}

# Every table of the drivers, as the summary must list them.
win "$prefix/drive_c/qeln-kit/x64/qeln_e2e_test.exe" --gtest_list_tests |
  awk '/^[^ ]/ { suite = $1 } /^  [^ ]/ { print "PASS  " suite $1 }' | sort >kit-expected.txt
run_kit "" kit-tables.txt
[ "$code" = 0 ] && [ -s kit-expected.txt ] && cmp -s kit-expected.txt kit-tables.txt || {
  echo "wanted every table PASS (kit-expected.txt); the summary (kit-tables.txt.log):"
  cat kit-tables.txt
  # What each table that failed said, from its RUN line to its FAILED line;
  # the log's end when none did (the drivers ended before their summary).
  said="$(tr -d '\r' <kit-tables.txt.log | awk '/^\[ RUN / { n = 0 } { t[++n] = $0 }
    /^\[  FAILED  \] .*\(/ { for (i = (n > 40 ? n - 39 : 1); i <= n; ++i) print t[i] }')"
  if [ -n "$said" ]; then echo "$said"; else tail -n 20 kit-tables.txt.log | tr -d '\r'; fi
  failed=1
}

picked="$(GTEST_FILTER=NoTable.None win cmd /c "$kit\\run.cmd" | sed -n 's/^run.cmd: the \([a-z0-9]*\) drivers .*/\1/p')"
echo "run.cmd with no argument on 64-bit Windows: the '$picked' drivers"
[ "$picked" = x64 ] || failed=1

# A table that fails: without its test child ServiceE2E cannot launch
# anything; the console table beside it needs none.
rm "$prefix/drive_c/qeln-kit/testchild.exe"
run_kit "ConsoleE2E.NamesTheServiceAfterTheDirectorysLastCharacter:ServiceE2E.*" kit-failing.txt
want=$'FAIL  ServiceE2E.RunsTheChildAsConfiguredUntilItsRunEnds\nPASS  ConsoleE2E.NamesTheServiceAfterTheDirectorysLastCharacter'
if [ "$code" = 0 ] || [ "$(sort <<<"$want")" != "$(cat kit-failing.txt)" ]; then
  echo "wanted a non-zero exit code and the summary:"$'\n'"$want"$'\n'"got (kit-failing.txt.log):"
  cat kit-failing.txt
  failed=1
fi

win reg delete "$ups" /f >/dev/null
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1
[ "$failed" = 0 ] && echo "said: run.cmd x86 passed $(wc -l <kit-tables.txt) tables, said FAIL with exit code $code for a table that failed, picked x64 by itself, left nothing"
exit "$failed"
