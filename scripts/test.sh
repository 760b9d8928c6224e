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

# No file may include a header of a layer above its own.
if ! python3 scripts/check_layers.py; then
  echo "== FAILED: a layer includes a layer above it"
  exit 1
fi

jobs=$(nproc)
configure() {  # DIR OPTIONS...
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
}
# Line tables are all the sanitizers' reports need, and full debug information would take a
# third of the compile time.
checked=(-DORVIX_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
configure build "${checked[@]}"
# AddressSanitizer's build at -O1, as its authors advise: a quarter less compile time, and its
# reports are as good.
# The benchmarks are built once, in the plain build.
# The sanitizer builds compile sixteen files at a time (a unity build): each file's share of
# the JSON library's code is then compiled once a batch, which takes a third off their compile
# time. The plain build compiles each file alone, as a user's build does.
unity=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16)
configure build-asan -DORVIX_SANITIZE=ON -DORVIX_WARNINGS_AS_ERRORS=ON -DORVIX_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "${unity[@]}"
configure build-tsan -DORVIX_SANITIZE_THREAD=ON -DORVIX_BUILD_BENCH=OFF "${checked[@]}" "${unity[@]}"
configure build-release -DORVIX_BUILD_TESTS=OFF -DORVIX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Release
phase() { echo "== $1 ($((SECONDS / 60)) min $((SECONDS % 60)) s)"; }
phase "building: plain"
cmake --build build -j "$jobs"
phase "building: AddressSanitizer"
cmake --build build-asan -j "$jobs"
phase "building: ThreadSanitizer"
cmake --build build-tsan -j "$jobs" --target client_tests
# The Release build runs beside the tests, on one core and at the lowest priority: the tests
# leave much of the machine idle while they wait on processes and sockets.
phase "building: Release, in the background"
nice -n 19 cmake --build build-release -j 1 --target orvix orvix-local >build-release/build.log 2>&1 &
release=$!

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
failed=()
for variant in build build-asan; do
  phase "tests in $variant"
  # No test takes half a minute; one that hangs fails after five, and the run goes on.
  if ! (cd "$variant" && ctest --output-on-failure --timeout 300 -j "$jobs"); then
    status=1
    failed+=("$variant: $(tr '\n' ' ' <"$variant/Testing/Temporary/LastTestsFailed.log" 2>/dev/null)")
  fi
done
phase "the client's tests under ThreadSanitizer"
# Answers of megabytes shown cut is a matter of one thread: the plain and AddressSanitizer builds
# run it, and under ThreadSanitizer it would take minutes.
if ! timeout --kill-after=10 900 ./build-tsan/tests/client_tests --gtest_brief=1 \
  --gtest_filter=-FaultTest.HugeAndHostileAnswersAreShownCut; then
  status=1
  failed+=("build-tsan: client_tests")
fi
phase "the Release build"
if ! wait "$release"; then
  cat build-release/build.log
  status=1
  failed+=("build-release: does not build")
fi
# The whole help goes to a file: a pipe closed early would end the program with SIGPIPE.
if ! ./build-release/orvix --version || ! ./build-release/orvix-local --help >build-release/help.txt 2>&1; then
  status=1
  failed+=("build-release: --version or --help")
fi
head -1 build-release/help.txt 2>/dev/null || true
phase "done"
# The summary comes last, where a reader of the log's tail sees it.
if ((status != 0)); then
  echo "== FAILED"
  printf '  %s\n' "${failed[@]}"
fi
exit $status
