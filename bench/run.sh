#!/usr/bin/env bash
# The benchmark, run by hand (it is not part of the test command's verdict):
#   - start and stop times of qelnhost.exe under the real SCM of Wine, with the
#     UPS area primed and with the first-start priming, against floorsvc.exe,
#     the least a service host can do, and the ratios host/floor; beside
#     them the floor once more reporting START_PENDING as the host must
#     (floor-sp), which shows what that one report costs
#     (bench/benchdriver.cpp does the timing, 20 repetitions by default);
#   - the stripped size and the imported DLLs of the product exe (the i686
#     build) and of the exe that ran;
#   - the CPU ticks the host process spends during 10 s of supervising a live
#     child, and its resident memory, read from /proc of the Linux process that
#     runs it (the floor's figures beside it for comparison).
# It prints one table with the targets: start and stop within 10 % of floor-sp
# once primed (the bare floor shown for information);
# exe <= 64 KiB importing only KERNEL32, ADVAPI32 and msvcrt;
# 0 CPU ticks over the 10 s; resident memory <= 1.1x the floor's.
#
# The timing runs from the win32 build when this machine can run 32-bit
# Windows programs under Wine, otherwise from the win64 build (the same
# sources as 64-bit programs); the script says which.
#
# Environment: QELN_BENCH_BUILD_ROOT (default build/ of the checkout; the
# builds go to <root>/win32 and <root>/win64), QELN_BENCH_REPS (default 20).
# The Wine prefix is <root>/<preset>/bench-prefix; its server is stopped when
# the script ends, whatever the outcome.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build_root="${QELN_BENCH_BUILD_ROOT:-$root/build}"
reps="${QELN_BENCH_REPS:-20}"
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
export WINEDEBUG=-all
supervision_seconds=10

prefix=""
driver_pid=""
rows=()

say() { printf '%s\n' "$*" >&2; }
die() {
  say "bench: $*"
  exit 1
}
row() { rows+=("$1|$2|$3|$4"); }

cleanup() {
  # An interrupted driver is ended (its services are on demand start, and the
  # next run removes them); the prefix's server then ends whatever is left of
  # the Wine session.
  if [ -n "$driver_pid" ] && kill -0 "$driver_pid" 2>/dev/null; then
    kill "$driver_pid" 2>/dev/null
    for _ in 1 2 3 4 5; do
      kill -0 "$driver_pid" 2>/dev/null || break
      sleep 1
    done
  fi
  if [ -n "$prefix" ]; then WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

build() {
  local preset="$1" dir="$build_root/$1"
  shift
  say "building the $preset preset in $dir (targets: $*; log: $dir/bench-build.log)"
  mkdir -p "$dir"
  { cmake --preset "$preset" -B "$dir" && cmake --build "$dir" --target "$@" -j 2; } \
    >"$dir/bench-build.log" 2>&1 || {
    tail -n 20 "$dir/bench-build.log" >&2
    return 1
  }
}

init_prefix() {
  prefix="$1"
  [ -f "$prefix/.initialised" ] && return 0
  say "initialising the Wine prefix $prefix"
  mkdir -p "$prefix"
  WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot --init >"$prefix/init.log" 2>&1 &&
    WINEPREFIX="$prefix" "$wineserver" -w >>"$prefix/init.log" 2>&1 &&
    touch "$prefix/.initialised"
}

# ---- Builds. The i686 exe is the product and is always built; the timing
# runs from win32 only when 32-bit Windows programs run here.
build win32 qelnhost || die "the win32 build failed"
product_exe="$build_root/win32/qelnhost.exe"
[ -f "$product_exe" ] || die "$product_exe was not produced"

preset=win64
loader="$wine64"
if "$wine32" --version >/dev/null 2>&1 && build win32 benchdriver; then
  init_prefix "$build_root/win32/bench-prefix" || die "the Wine prefix cannot be initialised"
  WINEPREFIX="$prefix" timeout 60 "$wine32" "$build_root/win32/demo/testchild.exe" /exit:42 >/dev/null 2>&1
  if [ $? -eq 42 ]; then
    preset=win32
    loader="$wine32"
  else
    WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
    prefix=""
  fi
fi
if [ "$preset" = win32 ]; then
  run_note="the timing ran from the win32 build (32-bit Wine works here)"
else
  run_note="the timing ran from the win64 build: this machine cannot run 32-bit Windows programs under Wine"
  build win64 benchdriver || die "the win64 build failed"
  init_prefix "$build_root/win64/bench-prefix" || die "the Wine prefix cannot be initialised"
fi
say "$run_note"
bin="$build_root/$preset"
ran_exe="$bin/qelnhost.exe"

# ---- The timing and the held services.
hold_dir="$bin/bench-hold"
rm -rf "$hold_dir"
mkdir -p "$hold_dir"
hold_win="Z:$(printf '%s' "$hold_dir" | tr '/' '\\')"
out="$bin/bench-driver.out"
say "running the driver ($reps repetitions of each configuration; progress below)"
WINEPREFIX="$prefix" timeout 1800 "$loader" "$bin/bench/benchdriver.exe" --reps "$reps" --hold "$hold_win" \
  >"$out" 2> >(tr -d '\r' | sed -u 's/^/  driver: /' >&2) &
driver_pid=$!

# The Linux process that runs `exe_name` in our prefix (not a zombie).
linux_pid_of() {
  local exe_name="$1" dir pid argv0
  for dir in /proc/[0-9]*; do
    pid="${dir#/proc/}"
    # A 32-bit process that runs through qemu-i386 shows the emulator's own
    # command line: the Windows program is one of its later arguments.
    argv0="$({ tr '\0' '\n' <"$dir/cmdline"; } 2>/dev/null | head -n 1)"
    case "$argv0" in
      */qemu-i386*) argv0="$({ tr '\0' '\n' <"$dir/cmdline"; } 2>/dev/null | grep -i -m 1 "$exe_name\$")" ;;
    esac
    case "$argv0" in *\\"$exe_name" | */"$exe_name" | "$exe_name") ;; *) continue ;; esac
    [ "$(stat_field "$pid" 3)" = Z ] && continue
    { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" || continue
    echo "$pid"
    return 0
  done
  return 1
}

# Field N (as numbered in proc(5)) of /proc/PID/stat; the name in field 2 may
# hold blanks, so the fields are counted from the last ")".
stat_field() {
  local line
  line="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
  line="${line##*) }"
  echo "$line" | awk -v n="$(($2 - 2))" '{ print $n }'
}

cpu_ticks() { echo $(($(stat_field "$1" 14) + $(stat_field "$1" 15))); }

# Measures one held service: CPU ticks over the supervision time, VmRSS.
measure_held() {
  local tag="$1" exe_name="$2" label="$3" pid before after rss threads
  for _ in $(seq 1 900); do
    [ -f "$hold_dir/held-$tag" ] && break
    kill -0 "$driver_pid" 2>/dev/null || return 1
    sleep 1
  done
  [ -f "$hold_dir/held-$tag" ] || return 1
  if ! pid="$(linux_pid_of "$exe_name")"; then
    say "bench: no Linux process runs $exe_name in $prefix"
    touch "$hold_dir/release-$tag"
    return 1
  fi
  say "holding $label (Linux pid $pid, Windows pid $(head -n 1 "$hold_dir/held-$tag")) for ${supervision_seconds} s"
  before="$(cpu_ticks "$pid")"
  sleep "$supervision_seconds"
  after="$(cpu_ticks "$pid")"
  rss="$(awk '/^VmRSS:/ { print $2 " " $3 }' "/proc/$pid/status")"
  rss_kb[$tag]="${rss%% *}"
  threads="$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status")"
  touch "$hold_dir/release-$tag"
  local ticks=$((after - before)) verdict=""
  if [ "$tag" = host ]; then
    [ "$ticks" -eq 0 ] && verdict=met || verdict=MISSED
    row "CPU ticks in ${supervision_seconds} s, $label" "$ticks (utime+stime, $(getconf CLK_TCK)/s; $threads threads)" "0" "$verdict"
    row "VmRSS, $label" "$rss" "(none)" ""
  else
    row "CPU ticks in ${supervision_seconds} s, $label" "$ticks ($threads threads)" "(none)" ""
    row "VmRSS, $label" "$rss" "(none)" ""
  fi
}

declare -A rss_kb=()
measure_held host qelnhost.exe "qelnhost.exe supervising" || say "bench: the host could not be measured while held"
measure_held floor floorsvc.exe "floorsvc.exe supervising" || say "bench: the floor could not be measured while held"
if [ -n "${rss_kb[host]:-}" ] && [ -n "${rss_kb[floor]:-}" ]; then
  ratio="$(awk -v h="${rss_kb[host]}" -v f="${rss_kb[floor]}" 'BEGIN { printf "%.3f", h / f }')"
  awk -v r="$ratio" 'BEGIN { exit !(r <= 1.1) }' && verdict=met || verdict=MISSED
  row "ratio VmRSS host/floor" "$ratio" "<= 1.1" "$verdict"
else
  row "ratio VmRSS host/floor" "not measured" "<= 1.1" "MISSED"
fi
wait "$driver_pid"
driver_status=$?
driver_pid=""
[ "$driver_status" -eq 0 ] || say "bench: the driver ended with status $driver_status (see above)"

# ---- Size and imports.
size_and_imports() {
  local exe="$1" objdump="$2" strip="$3" label="$4" stripped size note dlls dll verdict
  stripped="$(mktemp)"
  "$strip" --strip-all -o "$stripped" "$exe"
  size="$(stat -c %s "$stripped")"
  [ "$size" -eq "$(stat -c %s "$exe")" ] && note="as built" || note="built $(stat -c %s "$exe")"
  rm -f "$stripped"
  [ "$size" -le 65536 ] && verdict=met || verdict=MISSED
  row "stripped size, $label" "$size bytes ($(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1024 }') KiB; $note)" \
    "<= 64 KiB" "$verdict"
  dlls="$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ' | sed 's/ $//')"
  verdict=met
  for dll in $dlls; do
    case "${dll^^}" in KERNEL32.DLL | ADVAPI32.DLL | MSVCRT.DLL) ;; *) verdict=MISSED ;; esac
  done
  row "imports, $label" "$dlls" "only KERNEL32 ADVAPI32 msvcrt" "$verdict"
}

size_and_imports "$product_exe" i686-w64-mingw32-objdump i686-w64-mingw32-strip "i686 qelnhost.exe (product)"
if [ "$preset" = win64 ]; then
  size_and_imports "$ran_exe" x86_64-w64-mingw32-objdump x86_64-w64-mingw32-strip "x86_64 qelnhost.exe (ran)"
fi

# ---- The table.
timing_rows=()
while IFS= read -r line; do
  timing_rows+=("${line#ROW|}")
done < <(tr -d '\r' <"$out" | grep '^ROW|')
[ "${#timing_rows[@]}" -gt 0 ] || say "bench: the driver produced no timing figures"

printf '\n%s\n' "qelnhost benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%s\n' "$run_note; $reps repetitions each"
printf '%s\n' "Figure|Value|Target|Verdict" "${timing_rows[@]+"${timing_rows[@]}"}" "${rows[@]+"${rows[@]}"}" |
  awk -F'|' '
    { for (i = 1; i <= 4; i++) { cell[NR, i] = $i; if (length($i) > width[i]) width[i] = length($i) } }
    END {
      for (r = 1; r <= NR; r++) {
        line = ""
        for (i = 1; i <= 4; i++) line = line sprintf("%-" width[i] "s", cell[r, i]) (i < 4 ? " | " : "")
        sub(/ +$/, "", line)
        print line
        if (r == 1) {
          line = ""
          for (i = 1; i <= 4; i++) { dash = sprintf("%" width[i] "s", ""); gsub(/ /, "-", dash); line = line dash (i < 4 ? "-+-" : "") }
          print line
        }
      }
    }'
exit "$driver_status"
