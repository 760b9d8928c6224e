#!/usr/bin/env bash
# Installs what is missing, builds the client twice (plain and with ASan + UBSan + LeakSanitizer)
# and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
for variant in build build-asan; do
  sanitize=OFF
  [ "$variant" = build-asan ] && sanitize=ON
  cmake -S . -B "$variant" -DORVIX_SANITIZE=$sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$variant" -j "$jobs"
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for variant in build build-asan; do
  echo "== tests in $variant"
  (cd "$variant" && ctest --output-on-failure -j "$jobs") || status=1
done
exit $status
