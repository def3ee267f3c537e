#!/usr/bin/env bash
# The release signing, with a throwaway root, code-signing and timestamping
# certificate made here (no network), one check a run:
#   sign    scripts/sign.sh signs both exes: each verifies against the root
#           with a SHA-1 then a SHA-256 signature, each timestamped; stripped,
#           each is the unsigned build's bytes; check-exe passes it and names its
#           signatures, and fails it with one byte changed; the kit packs it
#   refuse  a wrong password, or a certificate not for code signing: a clear
#           error, nothing signed, the unsigned exes untouched
#   wine    the signed 32-bit exe installs, starts, stops and is removed
#           (ConsoleE2E.InstallAndRemove), and WinVerifyTrust takes it once the
#           root is among the machine's, and refuses it changed or unsigned
# Usage: sign_check.sh sign|refuse|wine TRUST_EXE E2E_DRIVER (in its own
# working directory; WINEPREFIX names the prefix)
set -uo pipefail
check="$1" trust="$2" driver="$3"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export WINEDEBUG=-all LC_ALL=C.UTF-8 LANG=C.UTF-8
bash "$root/scripts/bootstrap.sh" ${WINEPREFIX:+--prefix "$WINEPREFIX"} || exit 1
failed=0
expect() { # what, then the condition
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failed=1; fi
}
# The certificates: a root, a code-signing one (in a .pfx with its password in
# a file), a timestamping one, and one for web servers only; made again once a
# day, long before they expire.
if [ -z "$(find . -maxdepth 1 -name code.pfx -mmin -1440)" ]; then
  rm -f ./*.crt ./*.key ./*.pfx
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 30 -subj "/CN=qeln throwaway root" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  for leaf in code:codeSigning ts:critical,timeStamping web:serverAuth; do
    openssl req -newkey rsa:2048 -nodes -keyout "${leaf%%:*}.key" -subj "/CN=qeln throwaway ${leaf%%:*}" 2>/dev/null |
      openssl x509 -req -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 -out "${leaf%%:*}.crt" \
        -extfile <(echo "extendedKeyUsage=${leaf#*:}") 2>/dev/null
  done
  cat ts.crt ca.crt >ts-chain.crt
  openssl x509 -in ca.crt -outform DER -out ca.der
  echo 'a throwaway password' >password.txt
  echo 'not the password' >wrong.txt
  openssl pkcs12 -export -inkey web.key -in web.crt -certfile ca.crt -out web.pfx -passout file:password.txt
  openssl pkcs12 -export -inkey code.key -in code.crt -certfile ca.crt -out code.pfx -passout file:password.txt
fi
[ -f code.pfx ] || { echo "the throwaway certificates could not be made"; exit 1; }
sign() { # the .pfx, the password file, the output directory
  QELN_SIGN_PASSWORD_FILE="$2" QELN_SIGN_TSA_CERTS=ts-chain.crt QELN_SIGN_TSA_KEY=ts.key QELN_SIGN_OUT="$3" \
    bash "$root/scripts/sign.sh" "$1"
}
unsigned() { sha256sum "$root/build/win32/qelnhost.exe" "$root/build/win64/qelnhost.exe"; }

case "$check" in
sign)
  rm -rf signed
  sign code.pfx password.txt "$PWD/signed" || exit 1
  for preset in win32:i686 win64:x86_64; do
    exe="signed/${preset%%:*}/qelnhost.exe" build="$root/build/${preset%%:*}/qelnhost.exe"
    said="$(osslsigncode verify -in "$exe" -CAfile ca.crt -TSA-CAfile ca.crt 2>&1)"
    expect "$exe verifies against the throwaway root" test $? = 0
    expect "$exe: a SHA-1 then a SHA-256 signature" \
      test "$(sed -n 's/^Message digest algorithm  *: //p' <<<"$said" | tr '\n' ' ')" = "SHA1 SHA256 "
    expect "$exe: both verified, both timestamps" test "$(grep -c '^Signature verification: ok' <<<"$said") $(
      grep -c 'Timestamp Server Signature verification: ok' <<<"$said")" = "2 2"
    rm -f stripped.exe
    osslsigncode remove-signature -in "$exe" -out stripped.exe >/dev/null
    expect "$exe stripped is the unsigned build" cmp -s stripped.exe "$build"
    line="$(QELN_CHECK_CA_FILE=ca.crt bash "$root/scripts/check-exe.sh" "$exe" "${preset#*:}-w64-mingw32-")"
    echo "$line"
    expect "check-exe passes it and names its signatures" grep -q '^PASS .*(SHA1 by .*qeln throwaway code, timestamped .*; SHA256 by .*, timestamped ' <<<"$line"
    expect "check-exe passes the unsigned build still" bash "$root/scripts/check-exe.sh" "$build" "${preset#*:}-w64-mingw32-"
    cp "$exe" changed.exe
    printf '\x90' | dd of=changed.exe bs=1 seek=$((0x500)) conv=notrunc status=none
    expect "check-exe fails it with one byte changed" \
      bash -c "! QELN_CHECK_CA_FILE=ca.crt bash '$root/scripts/check-exe.sh' changed.exe ${preset#*:}-w64-mingw32- >/dev/null"
  done
  QELN_SIGNED_DIR="$PWD/signed" QELN_KIT_OUT="$PWD/kit" bash "$root/scripts/kit.sh" || failed=1
  expect "the kit packs the signed 32-bit exe" cmp -s kit/qeln-kit/qelnhost.exe signed/win32/qelnhost.exe
  mkdir -p other/win32 && cp signed/win64/qelnhost.exe other/win32/
  expect "the kit refuses one signed from another build" \
    bash -c "! QELN_SIGNED_DIR='$PWD/other' QELN_KIT_OUT='$PWD/kit' bash '$root/scripts/kit.sh' 2>&1"
  [ "$failed" = 0 ] && echo "said: both exes signed SHA-1 + SHA-256, timestamped, verified against the root, stripped to the unsigned bytes; check-exe names them and fails one changed; the kit packs the signed one"
  ;;
refuse)
  before="$(unsigned)"
  for row in "code.pfx:wrong.txt:cannot be opened with the password" "web.pfx:password.txt:is not for code signing"; do
    IFS=: read -r pfx password want <<<"$row"
    rm -rf refused
    said="$(sign "$pfx" "$password" "$PWD/refused" 2>&1)"
    code=$?
    echo "$pfx with $password: exit code $code: $(tail -n 1 <<<"$said")"
    expect "$pfx with $password stops the signing, saying why" test "$code" != 0 -a -n "$(grep "$want" <<<"$said")"
    expect "nothing signed" test -z "$(find refused -name '*.exe' 2>/dev/null)"
  done
  expect "the unsigned exes untouched" test "$(unsigned)" = "$before"
  [ "$failed" = 0 ] && echo "said: a wrong password and a certificate not for code signing stop sign.sh, nothing signed"
  ;;
wine)
  QELN_E2E_HOST="$PWD/signed/win32/qelnhost.exe" QELN_E2E_CHILD="$root/build/win32/demo/testchild.exe" \
    timeout 600 /usr/lib/wine/wine64 "$driver" --gtest_filter=ConsoleE2E.InstallAndRemove </dev/null | tail -n 3
  expect "the signed 32-bit exe installs, starts, stops and is removed" test "${PIPESTATUS[0]}" = 0
  cp signed/win32/qelnhost.exe changed.exe
  printf '\x90' | dd of=changed.exe bs=1 seek=$((0x500)) conv=notrunc status=none
  # TRUST_E_BAD_DIGEST for the changed one, TRUST_E_NOSIGNATURE for the unsigned.
  said="$(timeout 120 /usr/lib/wine/wine64 "$trust" --root ca.der signed/win32/qelnhost.exe changed.exe \
    "$root/build/win32/qelnhost.exe" </dev/null | tr -d '\r' | tr '\n' ' ')"
  echo "WinVerifyTrust: $said"
  expect "WinVerifyTrust: signed trusted, changed and unsigned refused" test "$said" = "0x00000000 0x80096010 0x800b0100 "
  [ "$failed" = 0 ] && echo "said: the signed 32-bit exe installs, runs and is removed; WinVerifyTrust trusts it and refuses it changed or unsigned"
  ;;
*) echo "sign_check.sh: unknown check '$check'" >&2; exit 2 ;;
esac
exit "$failed"
