#!/usr/bin/env bash
# Signs a release: copies of the shipped 32-bit qelnhost.exe and of the 64-bit
# one, built first when needed, into build/signed/win32/ and build/signed/win64/.
# Each copy gets two Authenticode signatures: a SHA-1 one, the only file digest
# Windows XP SP3 verifies, and nested in it a SHA-256 one, which Windows 7 (with
# its SHA-2 update) and later verify; each is timestamped (RFC 3161) by the
# server QELN_SIGN_TIMESTAMP_URL names, when it is set. The unsigned builds stay
# as they are, and stripping the signatures (osslsigncode remove-signature)
# gives back their bytes exactly: this script checks it for each copy.
#
# Usage: QELN_SIGN_PASSWORD_FILE=FILE scripts/sign.sh CERT.pfx
#   CERT.pfx                  the code-signing certificate, its chain and its key
#   QELN_SIGN_PASSWORD_FILE   the file that holds CERT.pfx's password (never an
#                             argument: other users can read those)
#   QELN_SIGN_TIMESTAMP_URL   an RFC 3161 timestamp server (optional)
#   QELN_SIGN_TSA_CERTS, QELN_SIGN_TSA_KEY   a timestamping certificate chain and
#                             its key, for timestamps made here instead of by a
#                             server (the tests' throwaway ones)
#   QELN_SIGN_OUT             where the signed copies go (default build/signed)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
fail() {
  echo "sign.sh: $*" >&2
  exit 1
}
[ $# -eq 1 ] || fail "usage: QELN_SIGN_PASSWORD_FILE=FILE scripts/sign.sh CERT.pfx"
# Paths as given, before the script moves to the checkout.
full() { [ -z "$1" ] || realpath -m "$1"; }
pfx="$(full "$1")"
pass="$(full "${QELN_SIGN_PASSWORD_FILE:-}")"
tsa_certs="$(full "${QELN_SIGN_TSA_CERTS:-}")" tsa_key="$(full "${QELN_SIGN_TSA_KEY:-}")"
out="$(full "${QELN_SIGN_OUT:-$root/build/signed}")"
cd "$root"
[ -f "$pfx" ] || fail "no certificate file $pfx"
[ -n "$pass" ] && [ -f "$pass" ] || fail "QELN_SIGN_PASSWORD_FILE must name the file that holds the password of $pfx"
bash scripts/bootstrap.sh

# The certificate must be for code signing: osslsigncode signs with any, and
# Windows would then refuse the signature.
cert="$(openssl pkcs12 -in "$pfx" -passin "file:$pass" -nokeys -clcerts 2>/dev/null ||
  openssl pkcs12 -legacy -in "$pfx" -passin "file:$pass" -nokeys -clcerts 2>/dev/null)" ||
  fail "$pfx cannot be opened with the password in $pass (a wrong password?); nothing signed"
usage="$(openssl x509 -noout -ext extendedKeyUsage <<<"$cert" 2>/dev/null | sed -n '2,$p' | tr -d ' ')"
grep -qx 'CodeSigning' <<<"${usage//,/$'\n'}" ||
  fail "the certificate in $pfx is not for code signing (extended key usage: ${usage:-none}); nothing signed"
subject="$(openssl x509 -noout -subject <<<"$cert" | sed 's/^subject=//')"

timestamp=()
if [ -n "${QELN_SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$QELN_SIGN_TIMESTAMP_URL")
elif [ -n "$tsa_certs" ]; then
  timestamp=(-TSA-certs "$tsa_certs" -TSA-key "$tsa_key")
fi

mkdir -p "$out"
for preset in win32 win64; do
  exe="build/$preset/qelnhost.exe"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" --target qelnhost -j 2; } >"$out/$preset-build.log" 2>&1; then
    tail -n 20 "$out/$preset-build.log" >&2
    fail "the $preset build failed ($out/$preset-build.log)"
  fi
  part="$out/$preset/qelnhost.exe.part"
  mkdir -p "$out/$preset"
  rm -f "$part"*
  # SHA-1 first, then SHA-256 nested in it.
  if ! osslsigncode sign -pkcs12 "$pfx" -readpass "$pass" -h sha1 -n "qelnhost service host" \
      "${timestamp[@]}" -in "$exe" -out "$part.sha1" >"$out/$preset-sign.log" 2>&1 ||
    ! osslsigncode sign -pkcs12 "$pfx" -readpass "$pass" -h sha256 -nest -n "qelnhost service host" \
      "${timestamp[@]}" -in "$part.sha1" -out "$part.sha256" >>"$out/$preset-sign.log" 2>&1; then
    cat "$out/$preset-sign.log" >&2
    rm -f "$part"*
    fail "signing $exe failed; nothing signed"
  fi
  osslsigncode remove-signature -in "$part.sha256" -out "$part.stripped" >/dev/null 2>&1 &&
    cmp -s "$exe" "$part.stripped" ||
    { rm -f "$part"*; fail "the signed copy of $exe does not strip back to it"; }
  mv "$part.sha256" "$out/$preset/qelnhost.exe"
  rm -f "$part"*
  echo "sign.sh: $out/$preset/qelnhost.exe, signed by $subject (SHA-1 and nested SHA-256${timestamp[*]:+, timestamped}): SHA-256 $(sha256sum "$out/$preset/qelnhost.exe" | cut -c1-64), stripped $(sha256sum "$exe" | cut -c1-64)"
done
