#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: the plain build,
# the whole suite again under address+undefined and under thread sanitizer,
# then each fuzz target for a while (clang, libFuzzer). Every stage runs even
# when an earlier one failed; the script fails if any did.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh || exit 1
jobs="$(nproc)"
fuzz_seconds="${ZARVO_FUZZ_SECONDS:-60}"
failed=()

# stage NAME BUILD-DIR CTEST-ARGS -- CMAKE-ARGS...
stage() {
  local name="$1" dir="$2" ctest_args="$3"
  shift 4
  echo "=== $name: configure, build, test ($dir)"
  local start=$SECONDS
  if cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" &&
     cmake --build "$dir" -j"$jobs" ${BUILD_TARGET:+--target "$BUILD_TARGET"} &&
     ctest --test-dir "$dir" --output-on-failure -j"$jobs" $ctest_args; then
    echo "=== $name: passed in $((SECONDS - start)) s"
  else
    echo "=== $name: FAILED after $((SECONDS - start)) s"
    failed+=("$name")
  fi
}

stage plain build "" --
# ASan and UBSan (built not to recover) end a process at their first
# report. The writer leaves through _exit, where TSan would not turn a
# report into a failing status: halt_on_error makes the first race fatal.
# TSan sleeps a second at exit by default, which the tests that time a
# clean stop would count against the writer.
UBSAN_OPTIONS=print_stacktrace=1 \
  stage address+undefined build-asan "" -- -DZARVO_SANITIZE_ADDRESS=ON
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=50 \
  stage thread build-tsan "" -- -DZARVO_SANITIZE_THREAD=ON
BUILD_TARGET=zarvo_fuzzers \
  stage fuzz build-fuzz "-L ^fuzz$" -- -DZARVO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 \
  -DZARVO_FUZZ_SECONDS="$fuzz_seconds"

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "all stages passed"
