#!/usr/bin/env bash
# The demonstration: builds qelnhost.exe and shows it at work under Wine, the
# way a deployment uses it. It installs a copy from C:\demo\site1\, configures
# a hosted application (the project's test child), starts and stops the
# service with `sc`, then removes the service with `-remove`. Every step is
# checked: the script exits non-zero as soon as one does not behave as shown.
#
# It runs in a Wine prefix of its own under the build tree and stops that
# prefix's server when it ends, so the machine is left as it was found.
# QELN_DEMO_BUILD_ROOT moves the build trees (default: build/ of the checkout).
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build_root="${QELN_DEMO_BUILD_ROOT:-$root/build}"
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
export WINEDEBUG=-all
# Wine stores Windows file names in the locale's encoding: a UTF-8 one,
# whatever the caller's environment (C.UTF-8 is always there on Debian).
export LC_ALL=C.UTF-8 LANG=C.UTF-8

service=QELN1
service_key='HKLM\SYSTEM\CurrentControlSet\Services\QELN1'
parameters_key="$service_key\\Parameters"
site='C:\demo\site1'
app_dir='C:\demo\app'
prefix=""

step() { printf '\n== %s\n' "$*"; }
say() { printf '   %s\n' "$*"; }
shown() { sed 's/^/   | /'; }
fail() {
  printf '\nDEMO FAILED: %s\n' "$*"
  exit 1
}

# Runs a Windows program in the demo prefix; output without CR and NUL.
win() { WINEPREFIX="$prefix" timeout 60 "$wine64" "$@" 2>&1 | tr -d '\r\0'; return "${PIPESTATUS[0]}"; }
# Runs the host copy with the loader that fits the build.
host() { WINEPREFIX="$prefix" timeout 60 "$loader" "$site\\qelnhost.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

state_of() { win sc query "$service" | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
# Shows `sc query` and checks its WIN32_EXIT_CODE and SERVICE_EXIT_CODE.
expect_exit_code() {
  local query code specific
  query="$(win sc query "$service")"
  say "sc query $service:"
  printf '%s\n' "$query" | shown
  code="$(sed -n 's/^ *WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p' <<<"$query")"
  specific="$(sed -n 's/^ *SERVICE_EXIT_CODE *: *\([0-9]*\).*/\1/p' <<<"$query")"
  [ "$code" = "$1" ] && [ "$specific" = "$2" ] ||
    fail "WIN32_EXIT_CODE is '$code' and SERVICE_EXIT_CODE '$specific', not $1 and $2"
  say "WIN32_EXIT_CODE $1, SERVICE_EXIT_CODE $2: $3"
}
wait_for_state() {
  local wanted="$1" i
  for ((i = 0; i < 100; i++)); do
    [ "$(state_of)" = "$wanted" ] && return 0
    sleep 0.2
  done
  return 1
}

# The hosted child as Linux sees it (each Windows process is a Linux process
# under Wine): its pid and command line, or nothing once it is gone. Only
# processes of the demo's own prefix count.
child_processes() {
  local pid args
  ps -eo pid=,args= | grep -F 'testchild.exe /report:C:\demo' | grep -v -e grep -e '<defunct>' |
    while read -r pid args; do
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix" && echo "$pid $args"
    done
}

# Leaves nothing behind: the service, C:\demo, and the prefix's server.
cleanup() {
  [ -n "$prefix" ] || return 0
  if [ -d "$prefix/drive_c" ]; then
    win sc stop "$service" >/dev/null 2>&1
    win sc delete "$service" >/dev/null 2>&1
    rm -rf "$prefix/drive_c/demo"
  fi
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step "Preparing: the tools, the build and a Wine prefix of its own"
bash scripts/bootstrap.sh || fail "the tools could not be installed (see above)"
mkdir -p "$build_root"

build() {
  local preset="$1" dir="$build_root/$1"
  say "building the $preset preset in ${dir#"$root"/} (log: ${dir#"$root"/}/demo-build.log)"
  mkdir -p "$dir"
  { cmake --preset "$preset" -B "$dir" && cmake --build "$dir" --target qelnhost testchild -j 2; } \
    >"$dir/demo-build.log" 2>&1
}

# The product runs on 32-bit Windows: the 32-bit build is shown whenever this
# machine can run 32-bit Windows programs under Wine.
preset=win64
loader="$wine64"
if "$wine32" --version >/dev/null 2>&1 && build win32; then
  prefix="$build_root/win32/demo-prefix"
  bash scripts/bootstrap.sh --prefix "$prefix" >/dev/null || fail "the Wine prefix $prefix cannot be made"
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
  say "this machine runs 32-bit Windows programs under Wine: the demo shows the win32 build"
else
  say "this machine cannot run 32-bit Windows programs under Wine: the demo shows the win64 build (the same sources as a 64-bit program)"
  build win64 || fail "the win64 build failed; see its log"
  prefix="$build_root/win64/demo-prefix"
  bash scripts/bootstrap.sh --prefix "$prefix" >/dev/null || fail "the Wine prefix $prefix cannot be made"
fi
bin="$build_root/$preset"
drive_c="$prefix/drive_c"
say "Wine prefix: ${prefix#"$root"/}"

# Wine's own processes (its server, services.exe) keep the standard error of
# the command that started them, and so does every service process they
# start: started here with nothing attached and kept for the whole demo, they
# hold no pipe of a later step open.
WINEPREFIX="$prefix" "$wineserver" -p </dev/null >/dev/null 2>&1
WINEPREFIX="$prefix" "$wine64" wineboot </dev/null >/dev/null 2>&1 || fail "Wine does not start in $prefix"
# Wine's SCM keeps a stopped service's record (its exit code) only while some
# process of the prefix lives: an idle test child stays for the whole demo.
WINEPREFIX="$prefix" "$loader" "$bin/demo/testchild.exe" </dev/null >/dev/null 2>&1 &

# Leftovers of an interrupted earlier run.
win sc stop "$service" >/dev/null 2>&1
win sc delete "$service" >/dev/null 2>&1
rm -rf "$drive_c/demo"

step "1. Copying qelnhost.exe into $site\\ (the directory's last character, 1, names the service $service)"
mkdir -p "$drive_c/demo/site1" "$drive_c/demo/app"
cp "$bin/qelnhost.exe" "$drive_c/demo/site1/qelnhost.exe" || fail "cannot copy qelnhost.exe"
cp "$bin/demo/testchild.exe" "$drive_c/demo/app/testchild.exe" || fail "cannot copy the hosted application"
say "$site\\qelnhost.exe  ($(stat -c %s "$bin/qelnhost.exe") bytes)"
say "the application it will host: $app_dir\\testchild.exe (it writes down how it was started, then waits)"

step "2. Installing the service: $site\\qelnhost.exe -install"
out="$(host -install)"
status=$?
printf '%s\n' "$out" | shown
[ "$status" -eq 0 ] && [ "$out" = "$service installed." ] || fail "-install printed '$out' with exit code $status"
say "the registration the SCM keeps (automatic start, own process, LocalSystem, quoted path):"
reg="$(win reg query "$service_key")"
printf '%s\n' "$reg" | grep -E 'DisplayName|ImagePath|Start|Type|ObjectName' | shown
printf '%s\n' "$reg" | grep -qF "\"$site\\qelnhost.exe\"" || fail "the registered path is not the quoted path of the copy"

step "3. Writing the Parameters values, as a deployment does"
report="$app_dir\\report.txt"
command_line="testchild.exe /report:$report"
set_value() {
  say "reg add $parameters_key /v $1 /t REG_SZ /d \"$2\" /f"
  win reg add "$parameters_key" /v "$1" /t REG_SZ /d "$2" /f >/dev/null || fail "reg add $1 failed"
}
set_value Application "$app_dir\\testchild.exe"
set_value AppDirectory "$app_dir"
set_value AppParameters "$command_line"

step "4. Starting the service: sc start $service"
win sc start "$service" | shown
wait_for_state RUNNING || fail "$service did not reach RUNNING"
say "sc query $service:"
win sc query "$service" | shown
for ((i = 0; i < 100; i++)); do [ -f "$drive_c/demo/app/report.txt" ] && break; sleep 0.2; done
[ -f "$drive_c/demo/app/report.txt" ] || fail "the hosted application did not start"
say "the hosted application is running; what it wrote about how it was started:"
mapfile -t child_report < <(iconv -f UTF-16LE -t UTF-8 "$drive_c/demo/app/report.txt" | tr -d '\r'; echo)
say "  command line:                          ${child_report[0]}"
say "  working directory:                     ${child_report[1]}"
say "  console, stdin, stdout, stderr:        ${child_report[2]}"
say "  parent's process id, its own:          ${child_report[3]}"
[ "${child_report[0]}" = "$command_line" ] || fail "the child's command line is not AppParameters"
[ "${child_report[1]}" = "$app_dir" ] || fail "the child's directory is not AppDirectory"
[ "${child_report[2]}" = "0 0 0 0" ] || fail "the child has a console or standard handles: it was not detached"
say "(no console and no standard handles: the application runs detached)"
say "as a process on this machine:"
alive="$(child_processes)"
[ -n "$alive" ] || fail "no hosted process is running"
printf '%s\n' "$alive" | shown

step "5. Stopping the service: sc stop $service"
win sc stop "$service" | shown
wait_for_state STOPPED || fail "$service did not reach STOPPED"
expect_exit_code 0 0 "a stop is a clean end"
for ((i = 0; i < 50; i++)); do [ -z "$(child_processes)" ] && break; sleep 0.2; done
[ -z "$(child_processes)" ] || fail "the hosted process is still running"
say "the hosted process is gone: no testchild.exe runs any more"

step "6. When the application ends by itself, the service stops with it; a non-zero exit code (here 7) is a failure"
set_value AppParameters "$command_line /exit:7"
win sc start "$service" >/dev/null
wait_for_state STOPPED || fail "$service did not stop after its application ended"
expect_exit_code 1066 7 "ERROR_SERVICE_SPECIFIC_ERROR with the application's code: Windows logs event 7024 and, with 'sc failureflag $service 1' (Vista and later), runs the service's 'sc failure' actions"

step "7. When the application cannot be launched, the SCM's record says why"
set_value Application "$app_dir\\missing.exe"
win sc start "$service" >/dev/null
wait_for_state STOPPED || fail "$service did not stop after a failed launch"
expect_exit_code 2 0 "ERROR_FILE_NOT_FOUND, the launch's own error; on a PC the 1000 Hz tone sounds first, while the service is still START_PENDING"
set_value Application "$app_dir\\testchild.exe"
set_value AppParameters "$command_line"

step "8. Starting it once more, then removing it while it runs: $site\\qelnhost.exe -remove"
rm -f "$drive_c/demo/app/report.txt"
win sc start "$service" >/dev/null
wait_for_state RUNNING || fail "$service did not start again"
say "$service is RUNNING again; hosted process: $(child_processes | awk '{print $1}')"
out="$(host -remove)"
status=$?
printf '%s\n' "$out" | shown
printf '%s\n' "$out" | grep -qE "^Stopping $service\\.\\.*\$" &&
  printf '%s\n' "$out" | grep -qx "$service stopped." &&
  printf '%s\n' "$out" | grep -qx "$service removed." &&
  [ "$status" -eq 0 ] || fail "-remove did not stop and remove $service (exit code $status)"
[ -z "$(child_processes)" ] || fail "the hosted process survived the removal"
if win sc query "$service" | grep -q 'STATE'; then fail "$service still exists"; fi
say "$service no longer exists and its hosted process has ended"

step "Done: the service was installed, hosted its application, stopped and was removed"
say "everything the demo made is removed; the Wine prefix's server is stopped on exit"
