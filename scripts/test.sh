#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal
# build, and one under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLSTEAD_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# Each fuzz script builds its libFuzzer targets with clang and runs them for
# a bounded time under ASan+UBSan; any crash, hang or leak fails the run.
for fuzz in scripts/fuzz*.sh; do
  [ -x "$fuzz" ] || continue
  echo "== fuzzing: $fuzz"
  "$fuzz"
done
