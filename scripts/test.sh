#!/usr/bin/env bash
# The test command. Builds and runs every layer, prints one summary line per
# layer, and exits non-zero when any layer fails or cannot run:
#   host   Linux build on the simulated platform (ASan + UBSan), all its tests
#   host-tsan  the unit tests under ThreadSanitizer
#   lint   clang-format, clang-tidy and cppcheck
#   win32  the 32-bit Windows build; qelnhost.exe must be a PE32 i386 image
#   wine   the Windows tests under Wine, from the win32 build when this machine
#          can run 32-bit Windows programs, otherwise from the win64 build
#          (the same sources as 64-bit programs)
# Each Wine layer uses its own prefix, build/<preset>/wineprefix; its server is
# stopped when the script ends, whatever the outcome. The benchmark (CTest
# label "bench") is not part of the test run: it is run by hand, bench/run.sh.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

jobs=2
test_timeout=300  # seconds, for tests that set no TIMEOUT of their own
wine32_loader=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
logs="$root/build/test-logs"
export WINEDEBUG=-all

summary=()
failed=0
prefixes=()

pass() { summary+=("PASS  $1"); }
fail() { summary+=("FAIL  $1"); failed=1; }
info() { summary+=("NOTE  $1"); }
section() { printf '\n==== %s\n' "$1"; }

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
# stop-race stress test (thousands of controls at random points of a run).
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

# ---- win32: the real 32-bit program.
section "win32 build"
exe="build/win32/qelnhost.exe"
win32_built=0
if ! configure_and_build win32; then
  fail "win32 build: configure or build failed (build/test-logs/win32-build.log)"
elif [ ! -f "$exe" ]; then
  fail "win32 build: $exe was not produced"
else
  header="$(i686-w64-mingw32-objdump -f "$exe" 2>&1)"
  private="$(i686-w64-mingw32-objdump -p "$exe" 2>&1)"
  dlls="$(echo "$private" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ' | sed 's/ $//')"
  echo "$exe imports: $dlls"
  if echo "$header" | grep -q 'file format pei-i386' &&
     echo "$header" | grep -q 'architecture: i386' &&
     echo "$private" | grep -qE 'Magic[[:space:]]+010b[[:space:]]+\(PE32\)'; then
    win32_built=1
    pass "win32 build: $exe is a PE32 i386 image of $(stat -c %s "$exe") bytes importing $dlls"
  else
    echo "$header"
    fail "win32 build: $exe is not a PE32 i386 image"
  fi
fi

# ---- Can this machine run 32-bit Windows programs under Wine? The probe is
# a tiny i686 program that prints a known line.
section "32-bit Wine probe"
wine_preset=win64
probe_dir="build/win32/wine-probe"
if [ "$win32_built" -ne 1 ]; then
  info "wine probe: not tried, the win32 build failed; the Wine layer runs from win64"
elif ! loader_error="$("$wine32_loader" --version 2>&1)"; then
  line="this machine cannot run 32-bit Windows programs under Wine (the 32-bit loader does not start: ${loader_error##*: }); the Wine layer runs from the win64 preset"
  echo "$line"
  info "wine probe: $line"
else
  mkdir -p "$probe_dir"
  printf '%s\n' '#include <stdio.h>' \
    'int main(void) { printf("probe %u\n", (unsigned)(sizeof(void*) * 8)); return 0; }' \
    >"$probe_dir/probe.c"
  if ! i686-w64-mingw32-gcc -O2 -s -o "$probe_dir/probe.exe" "$probe_dir/probe.c"; then
    fail "wine probe: the probe program does not build"
  elif ! prepare_prefix win32; then
    fail "wine probe: the win32 Wine prefix cannot be initialised"
  else
    probe_out="$(WINEPREFIX="$root/build/win32/wineprefix" timeout 120 \
      "$wine32_loader" "$probe_dir/probe.exe" 2>&1 | tr -d '\r')"
    if [ "$probe_out" = "probe 32" ]; then
      wine_preset=win32
      echo "32-bit Windows programs run under Wine here: the Wine layer runs from the win32 preset"
    else
      line="this machine cannot run 32-bit Windows programs under Wine (the probe printed: ${probe_out:-nothing}); the Wine layer runs from the win64 preset"
      echo "$line"
      info "wine probe: $line"
    fi
  fi
fi

# ---- The Windows tests under Wine.
section "wine ($wine_preset)"
if [ "$wine_preset" = win64 ] && ! configure_and_build win64; then
  fail "wine ($wine_preset): configure or build failed (build/test-logs/win64-build.log)"
elif ! prepare_prefix "$wine_preset"; then
  fail "wine ($wine_preset): the Wine prefix cannot be initialised"
elif run_ctest "$wine_preset"; then
  pass "wine ($wine_preset): $ctest_result"
else
  fail "wine ($wine_preset): $ctest_result"
fi

section "summary"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "test.sh: FAILED"
  exit 1
fi
echo "test.sh: all layers passed"
