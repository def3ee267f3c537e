#!/usr/bin/env bash
# Packs the kit for real Windows: the shipped 32-bit qelnhost.exe, the 32-bit
# test child, the end-to-end drivers (x86 and x64) with the data they read,
# and run.cmd, which runs them on the machine it is copied to. Makes
# build/kit/qeln-kit/ and build/kit/qeln-kit.zip; prints where.
#
# On Windows: copy the folder (or unpack the zip) anywhere, open an elevated
# command prompt and run run.cmd there (its header says what it changes). The
# drivers need Windows Vista or later; the product itself runs from XP SP3.
# Usage: scripts/kit.sh   (QELN_KIT_BUILD_ROOT moves the build trees, default build/)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build_root="${QELN_KIT_BUILD_ROOT:-$root/build}"
out="$build_root/kit"
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
cp "$build_root/win32/qelnhost.exe" "$build_root/win32/demo/testchild.exe" "$kit/"
i686-w64-mingw32-strip -o "$kit/x86/qeln_e2e_test.exe" "$build_root/win32/tests/e2e/qeln_e2e_test.exe"
x86_64-w64-mingw32-strip -o "$kit/x64/qeln_e2e_test.exe" "$build_root/win64/tests/e2e/qeln_e2e_test.exe"
cp tests/e2e/areas/primed.txt tests/e2e/areas/roads.txt "$kit/areas/"
sed 's/$/\r/' scripts/kit-run.cmd >"$kit/run.cmd"
(cd "$out" && cmake -E tar cf qeln-kit.zip --format=zip qeln-kit)
echo "kit: ${kit#"$root"/}/ and ${out#"$root"/}/qeln-kit.zip ($(stat -c %s "$out/qeln-kit.zip") bytes)"
