#!/usr/bin/env bash
# The soak tables (SoakE2E.*) again and again, until one fails or the limit
# is reached: QELN_SOAK_RUNS runs (default 50) or QELN_SOAK_MINUTES minutes,
# whichever comes first. Not part of the test command: ctest --preset
# win32-soak-until. The prefix is kept alive by a process of its own, so that
# what a failing run leaves can still be looked at, and every call the host
# makes to the service manager, and to end or wait for processes, is traced
# (Wine's relay trace, narrowed to those calls from qelnhost, and to the
# dispatcher's answers to controls, sechost's WriteFile). For the first
# failing run it keeps, in soak-until/: the tables' output (the failing
# cycle's line says what it saw), the trace lines of that run, and for each
# host process still there the stacks of every thread (winedbg "bt all").
# Exit code 0 when every run passed, 1 when one failed (or could not run).
# Usage: soak_until.sh E2E_DRIVER   (WINEPREFIX names the prefix; QELN_E2E_HOST
# and QELN_E2E_CHILD the host and child, as for the tables)
set -uo pipefail
driver="$1"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
prefix="${WINEPREFIX:?}"
runs="${QELN_SOAK_RUNS:-50}" minutes="${QELN_SOAK_MINUTES:-0}"
out="$PWD/soak-until"
export LC_ALL=C.UTF-8 LANG=C.UTF-8
bash "$root/scripts/bootstrap.sh" --prefix "$prefix" || exit 1
# What the last call kept goes to soak-until.previous/, not away.
rm -rf "$out.previous"; [ ! -d "$out" ] || mv "$out" "$out.previous"; mkdir -p "$out"
win() { WINEPREFIX="$prefix" WINEDEBUG=-all timeout 120 /usr/lib/wine/wine64 "$@" </dev/null 2>/dev/null | tr -d '\r'; }
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k
key='HKCU\Software\Wine\Debug'
win reg add "$key" /v RelayInclude /t REG_SZ /f /d "$(printf '%s;' ExitProcess RtlExitUserProcess \
  TerminateProcess WaitForSingleObject GetExitCodeProcess CreateProcessW ResumeThread AssignProcessToJobObject \
  Sleep SetServiceStatus RegisterServiceCtrlHandlerW StartServiceCtrlDispatcherW WriteFile)" >/dev/null
# Wine's own list of callers left out would take the place of the list of
# callers traced: it goes for the run, and comes back after.
from_exclude="$(win reg query "$key" /v RelayFromExclude | sed -n 's/^ *RelayFromExclude *REG_SZ *//p')"
# From here on, however the call ends, the prefix's settings come back.
keeper=""
finish() {
  kill "$keeper" 2>/dev/null
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k
  win reg delete "$key" /v RelayInclude /f >/dev/null
  win reg delete "$key" /v RelayFromInclude /f >/dev/null
  [ -z "$from_exclude" ] || win reg add "$key" /v RelayFromExclude /t REG_SZ /f /d "$from_exclude" >/dev/null
  rm -f "$out/keep"
}
trap finish EXIT
win reg delete "$key" /v RelayFromExclude /f >/dev/null
# sechost's WriteFile: the dispatcher's answer to each control.
win reg add "$key" /v RelayFromInclude /t REG_SZ /f /d 'qelnhost.exe;sechost' >/dev/null
WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k
# The prefix's first process, which its service manager and so every host
# inherit the trace from: a command prompt that waits on a pipe no one writes.
# It starts wineboot, which starts the service manager: once three processes
# are traced the trace has taken (seen once not to: then it starts again).
mkfifo "$out/keep"
exec 3<>"$out/keep"
taken=0
for try in 1 2 3; do
  WINEPREFIX="$prefix" WINEDEBUG=+timestamp,+pid,+relay,+seh /usr/lib/wine/wine64 cmd <"$out/keep" \
    >/dev/null 2>"$out/trace.log" &
  keeper=$!
  for _ in $(seq 60); do
    [ "$(grep -c 'load_list L"RelayInclude"' "$out/trace.log")" -ge 3 ] && taken=1 && break 2
    sleep 1
  done
  echo "the trace did not take (try $try of 3)"
  kill "$keeper" 2>/dev/null
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k
done
[ "$taken" = 1 ] || { echo "said: no run, the trace did not take"; exit 1; }
start=$SECONDS failed="" run=0 lost=0
while [ "$run" -lt "$runs" ] && { [ "$minutes" = 0 ] || [ $((SECONDS - start)) -lt $((minutes * 60)) ]; }; do
  run=$((run + 1))
  from="$(stat -c %s "$out/trace.log")"
  WINEPREFIX="$prefix" WINEDEBUG=-all timeout 1800 /usr/lib/wine/wine64 "$driver" --gtest_filter='SoakE2E.*' \
    </dev/null >"$out/run.log" 2>&1
  code=$?
  lost=$((lost + $(grep -c "lost its answer" "$out/run.log")))
  # Each host's dispatcher call in the trace: a run without any was not
  # traced, and a failure in the next one could not be explained.
  hosts=$(tail -c +$((from + 1)) "$out/trace.log" | grep -c 'Call .*StartServiceCtrlDispatcherW')
  echo "run $run: exit code $code after $((SECONDS - start)) s, $hosts hosts traced"
  [ "$code" = 0 ] && [ "$hosts" != 0 ] && continue
  failed="failed (soak-until/)"
  [ "$code" = 0 ] && { failed="not traced: the prefix's service manager is not the keeper's"; break; }
  mv "$out/run.log" "$out/failed-run.log"
  tail -c +$((from + 1)) "$out/trace.log" >"$out/failed-run-trace.log"
  grep -E 'Failure|outlived|failed with|no STOPPED|cycle' "$out/failed-run.log" | head -n 20
  # A host that is still there: the stacks of every thread of every process.
  for pid in $(win winedbg --command "info process" | awk '/qelnhost/ { print $1 }'); do
    win winedbg --command "$(printf 'bt all\ndetach')" "0x$pid" >"$out/stacks-$pid.txt"
    echo "qelnhost.exe $pid was still there: stacks in $out/stacks-$pid.txt"
  done
  break
done
echo "said: $run runs of the soak tables in $((SECONDS - start)) s, ${failed:+run $run }${failed:-none failed};" \
  "$lost stops whose answer Wine lost"
[ -z "$failed" ]
