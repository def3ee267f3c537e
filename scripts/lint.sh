#!/usr/bin/env bash
# Static checks of the project's own C++ sources: clang-format (no diff),
# clang-tidy (the checks in .clang-tidy, against the host build's compile
# commands) and cppcheck. Exits non-zero on any finding.
# Usage: scripts/lint.sh [BUILD_DIR]   (default build/host; configured if needed)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
build="${1:-build/host}"
status=0

# Product code and the simulation: what clang-tidy and cppcheck check.
mapfile -t product < <(git ls-files 'service/*.cpp' 'upsprime/*.cpp' 'platform/*.cpp' ':!platform/win32/*')
# Everything formatted: product, tests, bench.
mapfile -t formatted < <(git ls-files '*.cpp' '*.h')

if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset host -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || exit 1
fi

echo "clang-format: ${#formatted[@]} files"
if ! clang-format --dry-run --Werror "${formatted[@]}"; then
  echo "clang-format: run 'clang-format -i' on the files above"
  status=1
fi

echo "clang-tidy: ${#product[@]} files"
if ! clang-tidy -p "$build" --quiet "${product[@]}" 2>/dev/null; then
  status=1
fi

echo "cppcheck: ${#product[@]} files"
if ! cppcheck --quiet --std=c++17 --language=c++ --error-exitcode=1 --inline-suppr \
    --enable=warning,performance,portability -I . "${product[@]}"; then
  status=1
fi

[ "$status" -eq 0 ] && echo "lint: clean" || echo "lint: FAILED"
exit "$status"
