#!/usr/bin/env bash
# Installs what is missing, builds the client three times and runs the tests of each build:
#   build        plain, every test (warnings are errors)
#   build-asan   AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer, every test
#   build-tsan   ThreadSanitizer, the client's unit tests (reader thread, console, transfers)
# and builds the two programs in the Release configuration as a user would, where warnings are
# not errors.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
configure() {  # DIR OPTIONS...
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
}
configure build -DORVIX_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-asan -DORVIX_SANITIZE=ON -DORVIX_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-tsan -DORVIX_SANITIZE_THREAD=ON -DORVIX_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-release -DORVIX_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
cmake --build build-asan -j "$jobs"
cmake --build build-tsan -j "$jobs" --target client_tests
cmake --build build-release -j "$jobs" --target orvix orvix-local

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
for variant in build build-asan; do
  echo "== tests in $variant"
  (cd "$variant" && ctest --output-on-failure -j "$jobs") || status=1
done
echo "== the client's tests under ThreadSanitizer"
./build-tsan/tests/client_tests --gtest_brief=1 || status=1
echo "== the Release build"
./build-release/orvix --version && ./build-release/orvix-local --help 2>&1 | head -1 || status=1
exit $status
