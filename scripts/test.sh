#!/usr/bin/env bash
# The test command. Builds and runs every layer, prints one summary line per
# layer, and exits non-zero when any layer fails or cannot run:
#   host   Linux build on the simulated platform (ASan + UBSan), all its tests
#   host-tsan  the unit tests under ThreadSanitizer
#   lint   clang-format, clang-tidy and cppcheck
#   win32 build, win64 build  qelnhost.exe must be a PE32 i386 (PE32+ x86-64)
#          image of at most 64 KiB importing only KERNEL32, ADVAPI32 and msvcrt
#   wine win32  the shipped 32-bit exe: the 32-bit character-before check, the
#          console commands on a real console (a pseudo-terminal), through an
#          8.3 path and with no service manager, and every end-to-end and soak
#          test on the i686 host and child
#   kit    scripts/kit.sh packs the kit for real Windows; its run.cmd runs
#          under Wine with the 32-bit drivers, and its summary must match the
#          end-to-end tables' own
#   wine win64  the same sources and tests as 64-bit programs
#   demo   scripts/demo.sh, the README's first command, on the builds made here
# Each Wine layer uses its own prefix, build/<preset>/wineprefix; its server is
# stopped when the script ends, whatever the outcome. The benchmark (CTest
# label "bench") is not part of the test run: it is run by hand, bench/run.sh.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

jobs=2
test_timeout=300  # seconds, for tests that set no TIMEOUT of their own
wineserver=/usr/lib/wine/wineserver
logs="$root/build/test-logs"
export WINEDEBUG=-all
# Wine stores Windows file names in the locale's encoding, and the end-to-end
# work directories have non-ASCII names: a UTF-8 locale whatever the caller's
# environment (C.UTF-8 is always there on Debian).
export LC_ALL=C.UTF-8 LANG=C.UTF-8

summary=()
failed=0
prefixes=()

# Each summary line ends with the time its layer took.
layer_start=$SECONDS
took() { echo "$((SECONDS - layer_start)) s"; }
pass() { summary+=("PASS  $1 ($(took))"); }
fail() { summary+=("FAIL  $1 ($(took))"); failed=1; }
section() { printf '\n==== %s\n' "$1"; layer_start=$SECONDS; }

stop_wine() {
  local prefix
  for prefix in "${prefixes[@]+"${prefixes[@]}"}"; do
    WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  done
}
trap stop_wine EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command with its output in a log file; on failure shows the error
# lines and the end of the log.
quietly() {
  local log="$1"
  shift
  if "$@" >"$log" 2>&1; then return 0; fi
  echo "command failed: $*" >&2
  echo "--- error lines:" >&2
  grep -E -m 40 'error|FAILED|Error' "$log" >&2
  echo "--- last lines:" >&2
  tail -n 25 "$log" >&2
  return 1
}

configure_and_build() {
  local preset="$1"
  echo "configuring and building the $preset preset (log: build/test-logs/$preset-build.log)"
  quietly "$logs/$preset-build.log" \
    bash -c "cmake --preset '$preset' && cmake --build --preset '$preset' -j '$jobs'"
}

# Runs the tests of a preset; sets ctest_result to "N tests, M failed".
ctest_result=""
run_ctest() {
  local preset="$1" status line
  local log="$logs/$preset-ctest.log"
  ctest --preset "$preset" -j "$jobs" -LE bench --no-tests=error --timeout "$test_timeout" 2>&1 |
    tee "$log"
  status=$?
  line="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)"
  if [ -n "$line" ]; then
    ctest_result="$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2 tests, \1 failed/')"
  else
    ctest_result="no test ran"
  fi
  [ "$status" -eq 0 ] && [ -n "$line" ] && ! echo "$ctest_result" | grep -q '^0 tests'
}

# Creates and initialises a preset's Wine prefix once.
prepare_prefix() {
  local prefix="$root/build/$1/wineprefix"
  prefixes+=("$prefix")
  bash scripts/bootstrap.sh --prefix "$prefix"
}

section "bootstrap"
if ! bash scripts/bootstrap.sh; then
  echo "FAIL  bootstrap: the tools the tests need are missing (see above)"
  exit 1
fi
mkdir -p "$logs"

# ---- host: the simulated platform, under the sanitizers.
section "host"
if ! configure_and_build host; then
  fail "host: configure or build failed (build/test-logs/host-build.log)"
elif run_ctest host; then
  pass "host: $ctest_result"
else
  fail "host: $ctest_result"
fi

# ---- host-tsan: the unit tests again under ThreadSanitizer, among them the
# stop delivered at every use of a start, on the dispatcher's own thread.
section "host-tsan"
if ! configure_and_build host-tsan; then
  fail "host-tsan: configure or build failed (build/test-logs/host-tsan-build.log)"
elif run_ctest host-tsan; then
  pass "host-tsan: $ctest_result"
else
  fail "host-tsan: $ctest_result"
fi

# ---- lint: formatting, clang-tidy and cppcheck on the host build's sources.
section "lint"
if quietly "$logs/lint.log" bash scripts/lint.sh build/host; then
  pass "lint: clang-format, clang-tidy and cppcheck clean"
else
  fail "lint: findings (build/test-logs/lint.log)"
fi

# ---- The Windows builds. win32 is the product: the shipped 32-bit
# qelnhost.exe, its 32-bit test child and the 32-bit character-before check.
# win64 holds the same sources as 64-bit programs, and the end-to-end drivers.
exe32="build/win32/qelnhost.exe"
exe64="build/win64/qelnhost.exe"
section "win32 build"
win32_built=0
if ! configure_and_build win32; then
  fail "win32 build: configure or build failed (build/test-logs/win32-build.log)"
elif line="$(bash scripts/check-exe.sh "$exe32" i686-w64-mingw32-)"; then
  win32_built=1
  echo "$line"
  pass "win32 build: ${line#PASS  }"
else
  echo "$line"
  fail "win32 build: ${line#FAIL  }"
fi

# The same commit built again from a copy of the checkout in another
# directory: the exe must come out byte for byte the same.
section "win32 reproducible build"
repro="$root/build/repro"
if [ "$win32_built" -ne 1 ]; then
  fail "win32 reproducible build: not run, the win32 build failed"
elif ! rm -rf "$repro" || ! mkdir -p "$repro/src" ||
  ! git ls-files -co --exclude-standard -z | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp --parents -t "$repro/src" ||
  ! quietly "$logs/win32-repro-build.log" bash -c "cd '$repro/src' && cmake --preset win32 -B '$repro/build' && cmake --build '$repro/build' --target qelnhost -j '$jobs'"; then
  fail "win32 reproducible build: the second build failed (build/test-logs/win32-repro-build.log)"
else
  first="$(sha256sum "$exe32" | cut -c1-64)"
  second="$(sha256sum "$repro/build/qelnhost.exe" | cut -c1-64)"
  if [ "$first" = "$second" ]; then
    pass "win32 reproducible build: built again in build/repro/, the same SHA-256 $first"
  else
    fail "win32 reproducible build: built again in build/repro/, SHA-256 $second, not $first"
  fi
fi

section "win64 build"
win64_built=0
if ! configure_and_build win64; then
  fail "win64 build: configure or build failed (build/test-logs/win64-build.log)"
elif line="$(bash scripts/check-exe.sh "$exe64" x86_64-w64-mingw32-)"; then
  win64_built=1
  echo "$line"
  pass "win64 build: ${line#PASS  }"
else
  echo "$line"
  fail "win64 build: ${line#FAIL  }"
fi

# Stops any server an earlier run left in a prefix, then makes the prefix if
# it does not exist yet.
fresh_prefix() {
  local prefix="$root/build/$1/wineprefix"
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  prepare_prefix "$1"
}

# The console commands of the shipped exe with no service manager to reach,
# as where it cannot be opened (an unelevated console on Vista and later gets
# ERROR_ACCESS_DENIED, which Wine never refuses): services.exe is kept from
# starting for one command each, with the prefix's server stopped first.
# Nothing on standard output, one line on standard error naming the step and
# the error, and that error as the exit code (Linux keeps its low byte).
unreachable_scm() {
  local prefix="$root/build/win32/wineprefix" option out err code number
  for option in -install -remove; do
    WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
    out="$(WINEPREFIX="$prefix" WINEDLLOVERRIDES=services.exe=d timeout 120 \
      /usr/lib/wine/wine "$exe32" "$option" 2>"$logs/unreachable-scm.log" </dev/null)"
    code=$?
    err="$(tr -d '\r' <"$logs/unreachable-scm.log" |
      grep -E '^(Install|Remove) failed while opening the service manager: error [1-9][0-9]*\.$')"
    number="$(sed -n 's/.*: error \([0-9]*\).*/\1/p' <<<"$err")"
    echo "$option with no service manager: exit code $code, standard output '$out', standard error '$err'"
    [ -z "$out" ] && [ "$(wc -l <<<"$err")" -eq 1 ] && [ -n "$number" ] &&
      [ "$code" -eq $((number % 256)) ] && [ "$code" -ne 0 ] || return 1
    unreachable_error="$number"
  done
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
}

# A copy started through its 8.3 path, as Wine's loader starts a program so
# named from a Linux shell (one started by another Windows program gets the
# long form of its path from Wine): it takes its name from the long form and
# registers that, quoted. Prints what it saw; fails unless it is so.
short_path_run() {
  WINEPREFIX="$1" timeout 120 /usr/lib/wine/wine "C:\\qelnshort\\$2\\qelnhost.exe" "$3" 2>&1 </dev/null | tr -d '\r'
}
short_path_install() {
  local prefix="$root/build/win32/wineprefix" short out image removed
  rm -rf "$prefix/drive_c/qelnshort" && mkdir -p "$prefix/drive_c/qelnshort/instance-3" &&
    cp "$exe32" "$prefix/drive_c/qelnshort/instance-3/" || return 1
  short="$(WINEPREFIX="$prefix" timeout 120 /usr/lib/wine/wine64 cmd /c 'dir /x C:\qelnshort' </dev/null |
    tr -d '\r' | awk '$NF == "instance-3" { print $(NF - 1) }')"
  out="$(short_path_run "$prefix" "$short" -install)"
  image="$(WINEPREFIX="$prefix" timeout 120 /usr/lib/wine/wine64 reg query \
    'HKLM\SYSTEM\CurrentControlSet\Services\QELN3' /v ImagePath </dev/null 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *ImagePath *REG_[A-Z_]* *//p')"
  removed="$(short_path_run "$prefix" "$short" -remove)"
  rm -rf "$prefix/drive_c/qelnshort"
  echo "started as C:\\qelnshort\\$short\\qelnhost.exe: '$out', ImagePath '$image', then '$removed'"
  [ -n "$short" ] && [ "$short" != instance-3 ] && [ "$out" = "QELN3 installed." ] &&
    [ "$image" = '"C:\qelnshort\instance-3\qelnhost.exe"' ] && [ "$removed" = "QELN3 removed." ]
}

# The console road: the console switches of copies whose instance character
# is outside ASCII, run on a pseudo-terminal (util-linux's script), where Wine
# gives the program a real console: the name shows whole there (a pipe shows
# it in the console's code page, "QELN?" for Ж: the end-to-end rows). The
# terminal's cursor sequences and carriage returns are taken out before the
# text is compared; the exit codes are those a pipe gets.
on_console() {
  WINEPREFIX="$1" timeout 120 script -qec "/usr/lib/wine/wine '$2' $3" /dev/null </dev/null |
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
console_road() {
  local prefix="$root/build/win32/wineprefix" leaf name row option want code out got failed=0
  for leaf in siteЖ siteé; do
    name="QELN${leaf: -1}"
    rm -rf "$prefix/drive_c/qelnpty" && mkdir -p "$prefix/drive_c/qelnpty/$leaf" &&
      cp "$exe32" "$prefix/drive_c/qelnpty/$leaf/" || return 1
    for row in "-install|$name installed.|0" "-install||255" "-remove|$name removed.|0" "-remove||0"; do
      IFS='|' read -r option want code <<<"$row"
      out="$(on_console "$prefix" "C:\\qelnpty\\$leaf\\qelnhost.exe" "$option")"
      got=$?
      echo "$leaf\\qelnhost.exe $option on a console: '$out', exit code $got"
      [ "$out" = "$want" ] && [ "$got" = "$code" ] || failed=1
    done
  done
  rm -rf "$prefix/drive_c/qelnpty"
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
  return "$failed"
}

# The tables of a CTest log, one line each: "PASS  Suite.Test" or "FAIL  Suite.Test".
tables_of() {
  sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([A-Za-z0-9_]+\.[A-Za-z0-9_]+) .*/\1 &/p' "$@" |
    awk '{ print ($0 ~ / Passed / ? "PASS" : "FAIL") "  " $1 }' | sort
}

# ---- wine win32: the shipped exe. The character-before check runs as a
# 32-bit program in the win32 prefix;
# every end-to-end and soak test runs the i686 qelnhost.exe with the i686 test
# child, driven by the 64-bit test programs (test preset win32-e2e).
section "wine win32 ($exe32)"
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  route="32-bit programs through $(/usr/bin/qemu-i386-static --version 2>/dev/null | sed -n '1s/ (.*//p')"
else
  route="32-bit programs run natively"
fi
echo "$route"
if [ "$win32_built" -ne 1 ] || [ "$win64_built" -ne 1 ]; then
  fail "wine win32: not run, a Windows build failed"
elif ! fresh_prefix win32 || ! fresh_prefix win64; then
  fail "wine win32: a Wine prefix cannot be initialised"
else
  contract_ok=0
  run_ctest win32 && contract_ok=1
  contract_result="$ctest_result"
  WINEPREFIX="$root/build/win32/wineprefix" "$wineserver" -k >/dev/null 2>&1
  console_ok=0
  console_road && console_ok=1
  short_ok=0
  short_path_install && short_ok=1
  unreachable_ok=0 unreachable_error=""
  unreachable_scm && unreachable_ok=1
  e2e_ok=0
  run_ctest win32-e2e && e2e_ok=1
  e2e_result="$ctest_result"
  WINEPREFIX="$root/build/win64/wineprefix" "$wineserver" -k >/dev/null 2>&1
  if [ "$unreachable_ok" -eq 1 ]; then
    unreachable_result="-install and -remove exit with error $unreachable_error, named on standard error"
  else
    unreachable_result="FAILED (build/test-logs/unreachable-scm.log)"
  fi
  short_result="$([ "$short_ok" -eq 1 ] && echo "named and registered by the long path" || echo FAILED)"
  console_result="$([ "$console_ok" -eq 1 ] && echo "QELNЖ and QELNé named whole" || echo FAILED)"
  text="wine win32: $exe32 (i386) and the i386 test child, $route; 32-bit character-before check: $contract_result; on a console: $console_result; started by its 8.3 path: $short_result; no service manager: $unreachable_result; end-to-end and soak (64-bit drivers): $e2e_result"
  if [ "$contract_ok" -eq 1 ] && [ "$console_ok" -eq 1 ] && [ "$short_ok" -eq 1 ] && [ "$unreachable_ok" -eq 1 ] &&
    [ "$e2e_ok" -eq 1 ]; then
    pass "$text"
  else
    fail "$text"
  fi
  # The two many-cycle soak tests on the i686 exe, on their own so that their
  # long runs do not hold up the others.
  layer_start=$SECONDS
  if run_ctest win32-soak; then
    pass "wine win32: many-cycle soak on $exe32: $ctest_result"
  else
    fail "wine win32: many-cycle soak on $exe32: $ctest_result"
  fi
  WINEPREFIX="$root/build/win64/wineprefix" "$wineserver" -k >/dev/null 2>&1
  tables_of "$logs/win32-e2e-ctest.log" "$logs/win32-soak-ctest.log" >"$logs/tables.txt"
  while IFS= read -r line; do summary+=("      $line"); done <"$logs/tables.txt"
fi

# ---- kit: the kit for real Windows, packed by scripts/kit.sh and run as an
# administrator runs it there, from its run.cmd (here with the 32-bit drivers,
# which 32-bit Windows needs; the tables above ran the 64-bit ones). Its
# summary must list the tables above with the same verdicts, and it must
# leave nothing installed: no QELN service, no copy, and the UPS area as it
# was (a value put there first, as a machine's own).
section "kit"
kit_prefix="$root/build/win64/wineprefix"
kit_win() { WINEPREFIX="$kit_prefix" timeout 120 /usr/lib/wine/wine64 "$@" </dev/null 2>/dev/null | tr -d '\r'; }
ups_key='HKLM\SYSTEM\CurrentControlSet\Services\UPS'
if [ ! -s "$logs/tables.txt" ]; then
  fail "kit: not run, the end-to-end tables did not run"
elif ! quietly "$logs/kit-build.log" bash scripts/kit.sh; then
  fail "kit: scripts/kit.sh failed (build/test-logs/kit-build.log)"
else
  WINEPREFIX="$kit_prefix" "$wineserver" -k >/dev/null 2>&1
  rm -rf "$kit_prefix/drive_c/qeln-kit"
  (cd "$kit_prefix/drive_c" && cmake -E tar xf "$root/build/kit/qeln-kit.zip")
  kit_win reg add "$ups_key\\Config" /v Vendor /t REG_SZ /d "a machine's own" /f >/dev/null
  ups_before="$(kit_win reg query "$ups_key" /s)"
  WINEPREFIX="$kit_prefix" timeout 1800 /usr/lib/wine/wine64 cmd /c 'C:\qeln-kit\run.cmd' x86 \
    </dev/null >"$logs/kit-run.log" 2>&1
  kit_code=$?
  # With no argument it picks the drivers of a 64-bit Windows; with a filter
  # that names no table it runs none.
  picked="$(GTEST_FILTER=NoTable.None kit_win cmd /c 'C:\qeln-kit\run.cmd' | sed -n 's/^run.cmd: the \([a-z0-9]*\) drivers .*/\1/p')"
  ups_after="$(kit_win reg query "$ups_key" /s)"
  left="$(kit_win reg query 'HKLM\SYSTEM\CurrentControlSet\Services' | grep -i '\\QELN' | tr '\n' ' ')"
  [ -e "$kit_prefix/drive_c/qeln test" ] && left+="C:\\qeln test "
  kit_win reg delete "$ups_key" /f >/dev/null
  WINEPREFIX="$kit_prefix" "$wineserver" -k >/dev/null 2>&1
  tr -d '\r' <"$logs/kit-run.log" | grep -E '^(PASS|FAIL)  ' | sort >"$logs/kit-tables.txt"
  kit_text="kit: build/kit/qeln-kit.zip, run.cmd x86 under Wine (32-bit drivers): exit code $kit_code, $(wc -l <"$logs/kit-tables.txt") tables"
  if [ "$kit_code" -ne 0 ] || [ "$picked" != x64 ]; then
    fail "$kit_text, not all passed or '$picked' drivers picked on 64-bit Windows (build/test-logs/kit-run.log)"
  elif ! cmp -s "$logs/tables.txt" "$logs/kit-tables.txt"; then
    fail "$kit_text, its summary differs from the tables above (build/test-logs/kit-tables.txt)"
  elif [ -n "$left" ] || [ "$ups_before" != "$ups_after" ] || [ -z "$ups_before" ]; then
    fail "$kit_text, but it left ${left:-the UPS area changed}"
  else
    pass "$kit_text, the same verdicts as above; nothing left installed, the UPS area as it was"
  fi
fi

# ---- wine win64: the same sources and tests as 64-bit programs.
section "wine win64 ($exe64)"
if [ "$win64_built" -ne 1 ]; then
  fail "wine win64: not run, the win64 build failed"
elif ! fresh_prefix win64; then
  fail "wine win64: the Wine prefix cannot be initialised"
elif run_ctest win64; then
  pass "wine win64: $exe64 (x86-64) and the x86-64 test child: $ctest_result"
else
  fail "wine win64: $exe64 (x86-64) and the x86-64 test child: $ctest_result"
fi

# ---- demo: the README's first command, on the builds above, so that the day
# it breaks the test command fails too.
section "demo"
if bash scripts/demo.sh >"$logs/demo.log" 2>&1; then
  pass "demo: scripts/demo.sh installed, configured, started, stopped, restarted and removed QELN1 under Wine"
else
  tail -n 25 "$logs/demo.log"
  fail "demo: scripts/demo.sh failed: $(grep -m1 'DEMO FAILED' "$logs/demo.log") (build/test-logs/demo.log)"
fi

section "summary"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "test.sh: FAILED"
  exit 1
fi
echo "test.sh: all layers passed"
