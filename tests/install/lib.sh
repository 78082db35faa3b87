# Sourced by the install tests: strict mode, a scratch directory and the
# processes a test started, both cleaned up on exit, and the ways out.
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-install-test.XXXXXX")
started=()
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# 77 is the SKIP_RETURN_CODE of every install test.
skip() { echo "SKIP: $*" >&2; exit 77; }

need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null ||
      skip "$tool is not installed (scripts/install-deps.sh installs it)"
  done
}

# wait_for WHAT COMMAND...: runs COMMAND every 20 ms until it succeeds;
# fails after 60 seconds (a loaded machine under sanitizers is slow),
# naming WHAT.
wait_for() {
  local what=$1 deadline=$((SECONDS + 60))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || fail "timed out waiting for $what"
    sleep 0.02
  done
}

# wait_exit PID: waits, at most 60 seconds, for a child to end and sets
# exit_status to its status. (A plain wait could hang the test for good.)
wait_exit() {
  wait_for "process $1 to end" ended "$1"
  exit_status=0
  wait "$1" || exit_status=$?
}
ended() { [ ! -e "/proc/$1" ] || [ "$(sed 's/.*) //; s/ .*//' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
