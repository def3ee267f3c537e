#!/usr/bin/env bash
# Installs what the builds and tests need, once; quiet when everything is present.
# Usage: scripts/bootstrap.sh [--prefix DIR]   (DIR: Wine prefix to create and initialise)
set -euo pipefail

prefix=""
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    *) echo "bootstrap: unknown argument $1" >&2; exit 2 ;;
  esac
done

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
[ -f /usr/src/googletest/CMakeLists.txt ] && have_pkg libgtest-dev || need+=(googletest libgtest-dev libgmock-dev)
{ have_cmd i686-w64-mingw32-g++-posix && have_cmd x86_64-w64-mingw32-g++-posix; } || need+=(mingw-w64)
have_cmd wine || need+=(wine)
have_pkg wine32:i386 || need+=(wine32:i386)
# Without the preloader every 32-bit Wine process spends tens of seconds
# searching for address space when it runs under an emulator.
have_pkg wine32-preloader:i386 || need+=(wine32-preloader:i386)
{ have_pkg wine64 && [ -x /usr/lib/wine/wine64 ]; } || need+=(wine64)
# util-linux's script gives the console rows a pseudo-terminal (Essential on
# Debian, so normally there).
have_cmd script || need+=(bsdutils)
# Static analysis, run by the test command.
have_cmd clang-format || need+=(clang-format)
have_cmd clang-tidy || need+=(clang-tidy)
have_cmd cppcheck || need+=(cppcheck)
# Signing (scripts/sign.sh) and its checks: openssl, and osslsigncode with its
# built-in timestamping (-TSA-certs), which bookworm's 2.5 lacks: from
# bookworm-backports there (below).
have_cmd openssl || need+=(openssl)
signing_tool() { grep -q -- '-TSA-certs' <<<"$(osslsigncode sign --help 2>&1)"; }

# bookworm-backports, added to apt's sources once; prints the -t option that
# installs from it (nothing on another release).
backports() {
  [ "$(. /etc/os-release && echo "${VERSION_CODENAME:-}")" = bookworm ] || return 0
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d; then
    printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
      >/etc/apt/sources.list.d/bookworm-backports.sources
    echo "bootstrap: added bookworm-backports to apt's sources" >&2
  fi
  echo "-t bookworm-backports"
}

if [ ${#need[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "bootstrap: missing ${need[*]}; run as root to install" >&2; exit 1; }
  echo "bootstrap: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # An index that fails to download (a mirror in mid-sync) is no reason to stop
  # here: the install below says whether what it needs could be had.
  apt-get update -qq >/dev/null || true
  if ! apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; then
    # The i386 and amd64 builds of a multiarch library must be of one version.
    # When one index of the security suite is missing or out of date (seen:
    # its i386 list mid-sync), the newest amd64 build has no i386 twin: the
    # release's own suite has both.
    release="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    echo "bootstrap: retrying the install from $release alone"
    apt-get install -y -qq --no-install-recommends ${release:+-t "$release"} "${need[@]}" >/dev/null
  fi
fi

if ! signing_tool; then
  [ "$(id -u)" = 0 ] || { echo "bootstrap: osslsigncode with built-in timestamping is missing; run as root to install" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  from="$(backports)"
  apt-get update -qq >/dev/null || true
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $from osslsigncode >/dev/null
  signing_tool || { echo "bootstrap: $(osslsigncode --version 2>&1 | head -n 1) has no built-in timestamping" >&2; exit 1; }
  echo "bootstrap: installed $(osslsigncode --version 2>&1 | sed -n "1s/,.*//p")"
fi

# 32-bit Linux programs, and with them Wine's 32-bit loader: kernels built
# without i386 support refuse them ("Exec format error"). There they run
# through qemu-i386, registered with binfmt_misc for i386 ELF executables
# (flag F: the interpreter is opened now, so it works in any mount namespace).
# It takes qemu 10 or later: qemu 7.2 (bookworm's own) hands a 32-bit process
# that Wine's server signals a broken signal frame ("Got unexpected trap -1",
# then "uncaught target signal 11"), and 32-bit Wine processes die now and
# then; on bookworm it comes from bookworm-backports.
wine32_loader=/usr/lib/wine/wine
qemu=/usr/bin/qemu-i386-static
binfmt=/proc/sys/fs/binfmt_misc
qemu_major() { "$qemu" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9][0-9]*\)\..*/\1/p'; }
qemu_recent() { local v; v="$(qemu_major)"; [ -n "$v" ] && [ "$v" -ge 10 ]; }
through_qemu() { grep -qx enabled "$binfmt/qemu-i386" 2>/dev/null; }
# A rule made with flag F holds the emulator it was made with: one made for
# another or an older emulator is made again.
rule_current() { grep -qx "interpreter $qemu" "$binfmt/qemu-i386" 2>/dev/null && [ "$(stat -c %Z "$binfmt/qemu-i386")" -ge "$(stat -L -c %Z "$qemu")" ]; }
if ! "$wine32_loader" --version >/dev/null 2>&1 || { through_qemu && ! { qemu_recent && rule_current; }; }; then
  [ "$(id -u)" = 0 ] || { echo "bootstrap: 32-bit programs need qemu-i386 10 or later here; run as root to set it up" >&2; exit 1; }
  done_what=()
  if ! qemu_recent; then
    export DEBIAN_FRONTEND=noninteractive
    from="$(backports)"
    apt-get update -qq >/dev/null || true
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $from qemu-user-static >/dev/null
    qemu_recent || { echo "bootstrap: $qemu is $(qemu_major || true), qemu-i386 10 or later is needed" >&2; exit 1; }
    done_what+=("installed qemu-user-static $("$qemu" --version | sed -n '1s/^qemu-i386 version \([^ ]*\).*/\1/p')")
  fi
  if [ -e "$binfmt/qemu-i386" ] && ! rule_current; then
    old="$(sed -n 's/^interpreter //p' "$binfmt/qemu-i386")"
    echo -1 >"$binfmt/qemu-i386"
    done_what+=("removed the qemu-i386 rule made for ${old:-another emulator}")
  fi
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
    done_what+=("mounted $binfmt")
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    echo 1 >"$binfmt/qemu-i386"
    done_what+=("enabled the qemu-i386 rule")
  else
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
      >"$binfmt/register"
    done_what+=("registered i386 ELF programs for $qemu")
  fi
  if ! out="$("$wine32_loader" --version 2>&1)"; then
    echo "bootstrap: 32-bit programs still do not run after setting up qemu-i386: $out" >&2
    exit 1
  fi
  echo "bootstrap: 32-bit programs run through qemu-i386 ($(IFS=,; echo "${done_what[*]}" | sed 's/,/, /g'))"
fi

# The prefix is made by the 64-bit loader: the `wine` and `wineboot` commands
# go through the 32-bit loader, which cannot start where the kernel refuses
# 32-bit programs. wineboot then reports that the 32-bit rundll32 of syswow64
# cannot be opened; that is harmless. `wineserver -w` waits until the prefix
# is complete (below, with the service manager's value); the marker file
# makes the next call a no-op.
if [ -n "$prefix" ] && [ ! -f "$prefix/.initialised" ]; then
  echo "bootstrap: initialising Wine prefix $prefix"
  mkdir -p "$prefix"
  log="$prefix/init.log"
  if ! WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
         /usr/lib/wine/wine64 wineboot --init >"$log" 2>&1 ||
     ! WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w >>"$log" 2>&1; then
    echo "bootstrap: initialising $prefix failed:" >&2
    cat "$log" >&2
    exit 1
  fi
  # A crashing program then ends at once: with a debugger named here Wine
  # starts it, and winedbg waits for good holding the crashed program's
  # output pipe.
  for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
             'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
    WINEPREFIX="$prefix" WINEDEBUG=-all /usr/lib/wine/wine64 reg delete "$key" /v Debugger /f >>"$log" 2>&1 || true
  done
fi
# Windows' service manager gives a service 30 s to connect after its start,
# and to answer a control (ServicesPipeTimeout, unset); Wine's gives 10 s
# unless this value, as a string, says otherwise. A 32-bit service started
# through qemu on a loaded machine can take longer than 10 s, and its start
# then fails with error 1053: the prefix gets Windows' 30 s. Its service
# manager reads the value when it starts, so the prefix is let wind down
# (a new one, and one made before the value was set here).
if [ -n "$prefix" ] && { [ ! -f "$prefix/.initialised" ] ||
                         ! grep -q '^"ServicesPipeTimeout"="30000"' "$prefix/system.reg"; }; then
  WINEPREFIX="$prefix" WINEDEBUG=-all /usr/lib/wine/wine64 reg add \
    'HKLM\System\CurrentControlSet\Control' /v ServicesPipeTimeout /t REG_SZ /d 30000 /f \
    >>"$prefix/init.log" 2>&1
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w >>"$prefix/init.log" 2>&1
  touch "$prefix/.initialised"
fi
