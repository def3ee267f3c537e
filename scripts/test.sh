#!/usr/bin/env bash
# The test command: the list of layers. Builds everything and runs each
# layer's tests (every check lives under tests/ and CTest knows it); prints a
# summary line per layer and per test; exits non-zero when any layer fails or
# cannot run. Layers: host (the fake platform under ASan + UBSan), host-tsan
# (ThreadSanitizer), lint, the win32 and win64 builds (scripts/check-exe.sh),
# the reproducible win32 build, wine win32 (the shipped 32-bit exe: test
# presets win32, win32-e2e and win32-soak), kit (the kit for real Windows
# through its run.cmd), sign (the release signing), wine win64 (the same as
# 64-bit programs) and demo
# (scripts/demo.sh, the README's first command). Each Wine layer uses its own
# prefix, build/<preset>/wineprefix, whose server is stopped before the layer
# and when the script ends, whatever the outcome. The benchmark (label
# "bench", which the test presets leave out) is run by hand: bench/run.sh.
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
# Wine shows a file's Unix mode as its permissions: files and directories the
# tests make are open to no one else, whatever the caller's umask.
umask 022

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
  for prefix in "${prefixes[@]+"${prefixes[@]}"}"; do WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1; done
}
trap stop_wine EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs a command with its output in a log file; on failure shows its errors.
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
  echo "configuring and building the $1 preset (log: build/test-logs/$1-build.log)"
  quietly "$logs/$1-build.log" bash -c "cmake --preset '$1' && cmake --build --preset '$1' -j '$jobs'"
}

# Runs the tests of a test preset; sets ctest_result to "N tests, M failed"
# and `tests` to a summary line for each test: its verdict, time and, for a
# check that says one, its "said:" line.
run_ctest() {
  local preset="$1" status line dir entry
  local log="$logs/$preset-ctest.log"
  ctest --preset "$preset" -j "$jobs" --no-tests=error --timeout "$test_timeout" 2>&1 |
    tee "$log"
  status=$?
  line="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)"
  ctest_result="$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2 tests, \1 failed/' <<<"${line:-no test ran}")"
  dir="$(sed -n 's/^Test project //p' "$log" | head -n 1)"
  cp "$dir/Testing/Temporary/LastTest.log" "$logs/$preset-output.log" 2>/dev/null || : >"$logs/$preset-output.log"
  tests=()
  while IFS= read -r entry; do tests+=("      $entry"); done < <(awk '
    FNR == NR { if (match($0, /^[0-9]+\/[0-9]+ Test: /)) t = substr($0, RLENGTH + 1)
                else if (sub(/^said: /, "")) said[t] = $0; next }
    match($0, /Test +#[0-9]+: [^ ]+ /) {
      name = $0; sub(/.*Test +#[0-9]+: /, "", name); sub(/ .*/, "", name)
      secs = $0; sub(/ sec.*/, "", secs); sub(/.* /, "", secs)
      print ($0 ~ / Passed / ? "PASS" : "FAIL") "  " name " (" int(secs + 0.5) " s)" (name in said ? ": " said[name] : "")
    }' "$logs/$preset-output.log" "$log" | sort -k2)
  [ "$status" -eq 0 ] && [ -n "$line" ] && ! echo "$ctest_result" | grep -q '^0 tests'
}

# Runs a test preset as the layer `$1`: its summary line, then its tests'.
ctest_layer() {
  if run_ctest "$2"; then pass "$1: $ctest_result"; else fail "$1: $ctest_result"; fi
  summary+=("${tests[@]}")
}

# Stops any server an earlier run left in a prefix; makes the prefix if new.
fresh_prefix() {
  local prefix="$root/build/$1/wineprefix"
  prefixes+=("$prefix")
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
  bash scripts/bootstrap.sh --prefix "$prefix"
}

section "bootstrap"
if ! bash scripts/bootstrap.sh; then
  echo "FAIL  bootstrap: the tools the tests need are missing (see above)"
  exit 1
fi
mkdir -p "$logs"

# ---- host and host-tsan: the fake platform, under the sanitizers; under
# ThreadSanitizer the stop delivered at every use of a start is the race test.
for preset in host host-tsan; do
  section "$preset"
  if ! configure_and_build "$preset"; then
    fail "$preset: configure or build failed (build/test-logs/$preset-build.log)"
  else
    ctest_layer "$preset" "$preset"
  fi
done

section "lint"
if quietly "$logs/lint.log" bash scripts/lint.sh build/host; then
  pass "lint: clang-format, clang-tidy and cppcheck clean"
else
  fail "lint: findings (build/test-logs/lint.log)"
fi

# ---- The Windows builds: win32 the product, the shipped 32-bit qelnhost.exe;
# win64 the same sources as 64-bit programs, and the end-to-end drivers.
declare -A built=()
for preset in win32 win64; do
  section "$preset build"
  exe="build/$preset/qelnhost.exe"
  tools=i686-w64-mingw32-
  [ "$preset" = win64 ] && tools=x86_64-w64-mingw32-
  if ! configure_and_build "$preset"; then
    fail "$preset build: configure or build failed (build/test-logs/$preset-build.log)"
  elif line="$(bash scripts/check-exe.sh "$exe" "$tools")"; then
    built[$preset]=1
    echo "$line"
    pass "$preset build: ${line#PASS  }"
  else
    echo "$line"
    fail "$preset build: ${line#FAIL  }"
  fi
  [ "$preset" = win32 ] || continue

  # The same commit built again from a copy of the checkout in another
  # directory: the exe must come out byte for byte the same.
  section "win32 reproducible build"
  repro="$root/build/repro"
  if [ -z "${built[win32]:-}" ]; then
    fail "win32 reproducible build: not run, the win32 build failed"
  elif ! rm -rf "$repro" || ! mkdir -p "$repro/src" ||
    ! git ls-files -co --exclude-standard -z | while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
      xargs -0 cp --parents -t "$repro/src" ||
    ! quietly "$logs/win32-repro-build.log" bash -c "cd '$repro/src' && cmake --preset win32 -B '$repro/build' && cmake --build '$repro/build' --target qelnhost -j '$jobs'"; then
    fail "win32 reproducible build: the second build failed (build/test-logs/win32-repro-build.log)"
  else
    first="$(sha256sum "$exe" | cut -c1-64)"
    second="$(sha256sum "$repro/build/qelnhost.exe" | cut -c1-64)"
    if [ "$first" = "$second" ]; then
      pass "win32 reproducible build: built again in build/repro/, the same SHA-256 $first"
    else
      fail "win32 reproducible build: built again in build/repro/, SHA-256 $second, not $first"
    fi
  fi
done

# ---- wine win32: the shipped exe. The contract checks run as 32-bit
# programs in the win32 prefix; the end-to-end tables, the console checks and
# the soaks run the i686 qelnhost.exe and test child, driven by the 64-bit
# test programs in the win64 prefix, as a 64-bit sc.exe drives a 32-bit
# service on 64-bit Windows.
section "wine win32 (build/win32/qelnhost.exe)"
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  route="32-bit programs through $(/usr/bin/qemu-i386-static --version 2>/dev/null | sed -n '1s/ (.*//p')"
else
  route="32-bit programs run natively"
fi
echo "$route"
if [ -z "${built[win32]:-}" ] || [ -z "${built[win64]:-}" ]; then
  fail "wine win32: not run, a Windows build failed"
elif ! fresh_prefix win32 || ! fresh_prefix win64; then
  fail "wine win32: a Wine prefix cannot be initialised"
else
  for preset in win32 win32-e2e win32-soak; do
    layer_start=$SECONDS
    case "$preset" in
      win32) what="32-bit contract checks, $route" ;;
      win32-e2e) what="end-to-end tables and console checks on the i386 exe and child (64-bit drivers)" ;;
      win32-soak) what="many-cycle soaks on the i386 exe and child" ;;
    esac
    ctest_layer "wine win32: $what" "$preset"
    WINEPREFIX="$root/build/$([ "$preset" = win32 ] && echo win32 || echo win64)/wineprefix" "$wineserver" -k >/dev/null 2>&1
  done
fi

# ---- kit and sign: the kit for real Windows, run as there
# (tests/e2e/kit_check.sh); the release signing with a throwaway root, and the
# signed exe under Wine (tests/sign/).
for preset in kit sign; do
  section "$preset"
  case "$preset" in
    kit) what="kit: build/kit/qeln-kit.zip through run.cmd under Wine's cmd" ;;
    sign) what="sign: scripts/sign.sh, check-exe and the kit on signed exes; the signed exe under Wine" ;;
  esac
  if [ -z "${built[win32]:-}" ] || [ -z "${built[win64]:-}" ]; then
    fail "$preset: not run, a Windows build failed"
  elif ! fresh_prefix win64; then
    fail "$preset: the Wine prefix cannot be initialised"
  else
    ctest_layer "$what" "$preset"
  fi
done

# ---- wine win64: the same sources and tests as 64-bit programs.
section "wine win64 (build/win64/qelnhost.exe)"
if [ -z "${built[win64]:-}" ]; then
  fail "wine win64: not run, the win64 build failed"
elif ! fresh_prefix win64; then
  fail "wine win64: the Wine prefix cannot be initialised"
else
  ctest_layer "wine win64: build/win64/qelnhost.exe (x86-64) and the x86-64 test child" win64
fi

# ---- demo: the README's first command, on the builds above.
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
