#!/usr/bin/env bash
# Packs the kit for real Windows: the shipped 32-bit qelnhost.exe, the 32-bit
# test child, the end-to-end drivers (x86 and x64) with the data they read,
# and run.cmd, which runs them on the machine it is copied to. Makes
# build/kit/qeln-kit/ and build/kit/qeln-kit.zip; prints where.
#
# On Windows: copy the folder (or unpack the zip) anywhere, open an elevated
# command prompt and run run.cmd there (its header says what it changes). The
# drivers need Windows Vista or later; the product itself runs from XP SP3.
# The exe packed is build/signed/win32/qelnhost.exe when scripts/sign.sh has
# signed this very build (it strips back to it); the unsigned one when there is
# none; one signed from another build stops the kit.
# Usage: scripts/kit.sh   (QELN_KIT_BUILD_ROOT moves the build trees, default
# build/; QELN_SIGNED_DIR the signed copies, default build/signed; QELN_KIT_OUT
# the kit, default build/kit)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build_root="${QELN_KIT_BUILD_ROOT:-$root/build}"
out="${QELN_KIT_OUT:-$build_root/kit}"
signed="${QELN_SIGNED_DIR:-$build_root/signed}/win32/qelnhost.exe"
kit="$out/qeln-kit"

bash scripts/bootstrap.sh
for preset in win32 win64; do
  dir="$build_root/$preset"
  mkdir -p "$dir"
  if ! { cmake --preset "$preset" -B "$dir" && cmake --build "$dir" --target qelnhost testchild qeln_e2e_test -j 2; } \
    >"$dir/kit-build.log" 2>&1; then
    tail -n 20 "$dir/kit-build.log" >&2
    echo "kit: the $preset build failed (${dir#"$root"/}/kit-build.log)" >&2
    exit 1
  fi
done

rm -rf "$kit" "$out/qeln-kit.zip"
mkdir -p "$kit/x86" "$kit/x64" "$kit/areas"
host="$build_root/win32/qelnhost.exe"
if [ -f "$signed" ]; then
  rm -f "$out/stripped.exe"
  osslsigncode remove-signature -in "$signed" -out "$out/stripped.exe" >/dev/null 2>&1 || true
  if ! cmp -s "$out/stripped.exe" "$host"; then
    echo "kit: $signed was signed from another build than $host: sign this one (scripts/sign.sh) or remove it" >&2
    exit 1
  fi
  rm "$out/stripped.exe"
  host="$signed"
fi
cp "$host" "$build_root/win32/demo/testchild.exe" "$kit/"
i686-w64-mingw32-strip -o "$kit/x86/qeln_e2e_test.exe" "$build_root/win32/tests/e2e/qeln_e2e_test.exe"
x86_64-w64-mingw32-strip -o "$kit/x64/qeln_e2e_test.exe" "$build_root/win64/tests/e2e/qeln_e2e_test.exe"
cp tests/e2e/areas/primed.txt tests/e2e/areas/roads.txt "$kit/areas/"
sed 's/$/\r/' scripts/kit-run.cmd >"$kit/run.cmd"
(cd "$out" && cmake -E tar cf qeln-kit.zip --format=zip qeln-kit)
echo "kit: ${kit#"$root"/}/ and ${out#"$root"/}/qeln-kit.zip ($(stat -c %s "$out/qeln-kit.zip") bytes), qelnhost.exe from ${host#"$root"/}"
