#!/usr/bin/env bash
# The benchmark: our writer beside the copy floor and the peer log tools.
#   bash bench/run.sh [--size BYTES] [--runs N] [--quick] [options]
# Builds what it needs, generates the input once into a tmpfs (page cache),
# runs every contender once per round in fresh directories with the input on
# stdin, checks afterwards that every contender's output gives the input
# back, prints a Markdown table, then our writer's own figures (figures.sh).
# Options:
#   --size BYTES    input size (default 70000000, about 250,000 lines)
#   --runs N        rounds (default 5)
#   --quick         20 MB, 2 rounds, and the figures without the slow parts
#   --rotate BYTES  MAXFILESIZE and the peers' size limit (default 8388608)
#   --no-build      use the binaries in BUILD_DIR as they are
#   --no-install    run only the peers already installed
#   --no-figures    only the table
#   --keep          keep the work directory
# BUILD_DIR (default build/) and BENCH_TMP (default /dev/shm when roomy) are
# read from the environment.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SIZE=70000000
RUNS=5
QUICK=0
BUILD=1
INSTALL=1
FIGURES=1
KEEP=0

parse_args() {
  while (($#)); do
    case $1 in
      --size) SIZE=$2; shift ;;
      --runs) RUNS=$2; shift ;;
      --quick) QUICK=1; SIZE=20000000; RUNS=2 ;;
      --rotate) ROTATE_SIZE=$2; shift ;;
      --no-build) BUILD=0 ;;
      --no-install) INSTALL=0 ;;
      --no-figures) FIGURES=0 ;;
      --keep) KEEP=1 ;;
      *) die "unknown option $1 (see the comment at the top of bench/run.sh)" ;;
    esac
    shift
  done
  [[ $SIZE =~ ^[0-9]+$ && $RUNS =~ ^[1-9][0-9]*$ && $ROTATE_SIZE =~ ^[0-9]+$ ]] ||
    die "--size, --runs and --rotate take positive numbers"
}

free_bytes() { df -PB1 "$1" 2>/dev/null | awk 'NR == 2 {print $4}'; }

# tmpfs keeps input and output in memory, as the page cache would; a small
# /dev/shm (a container's 64 MB) falls back to the temporary directory.
make_work_dir() {
  local base=${BENCH_TMP:-}
  if [[ -z $base ]]; then
    base=${TMPDIR:-/tmp}
    if [[ -w /dev/shm ]] && (($(free_bytes /dev/shm || echo 0) > 6 * SIZE + 200000000)); then
      base=/dev/shm
    fi
  fi
  WORK=$(mktemp -d "$base/zarvo-bench.XXXXXX")
  if ((KEEP)); then trap 'log "work directory kept: $WORK"' EXIT; else trap 'rm -rf "$WORK"' EXIT; fi
}

generate_input() {
  INPUT=$WORK/input.log
  "$GEN" "$SIZE" >"$INPUT"
  INPUT_LINES=$(wc -l <"$INPUT")
  INPUT_BYTES=$(stat -c %s "$INPUT")
  log "input: $INPUT_BYTES bytes, $INPUT_LINES lines, in $WORK"
}

# Fills CHECK[name] with check_lines' verdict for every contender that ran.
check_all() {
  declare -gA CHECK=()
  local name
  CHECK_FAILED=0
  for name in "${RUN_NAMES[@]}"; do
    log "checking $name"
    if CHECK[$name]=$(check_contender "$name" "$INPUT"); then :; else
      [[ $name == ours* ]] && CHECK_FAILED=1
    fi
    rm -rf "$WORK/check-$name"
  done
}

# One awk pass over the results: process start-up is not free here, and a
# row built from a dozen small commands takes a visible part of a second.
print_table() {
  local results=$1 name rows=$WORK/rows.txt
  : >"$rows"
  for name in "${RUN_NAMES[@]}"; do
    printf '%s\t%s\t%s\n' "$name" "$(contender_label "$name")" "${CHECK[$name]:-not checked}" >>"$rows"
  done
  echo
  echo "Input: $INPUT_BYTES bytes, $INPUT_LINES lines on stdin; rotation at $ROTATE_SIZE bytes;" \
    "$RUNS rounds; $(nproc) cores, $(uname -r); work directory on $(df -PT "$WORK" | awk 'NR == 2 {print $2}');" \
    "load average $LOAD_AT_START at the start."
  echo
  echo "| contender | wall s, median (min–max) | CPU s, user+sys | peak RSS MiB | M lines/s | MB/s | × floor, pair by pair | output check |"
  echo "|---|---|---|---|---|---|---|---|"
  awk -F'\t' -v lines="$INPUT_LINES" -v bytes="$INPUT_BYTES" -f "$BENCH_DIR/table.awk" "$rows" "$results"
  echo
}

main() {
  parse_args "$@"
  ((BUILD)) && build_tools
  find_tools
  ((INSTALL)) && install_peers
  make_work_dir
  generate_input
  warn_if_busy
  RESULTS=$WORK/results.txt
  : >"$RESULTS"
  run_rounds "$RESULTS" "$INPUT" "$RUNS" "${CONTENDERS[@]}"
  check_all
  print_table "$RESULTS"
  if ((FIGURES)); then
    local quick=()
    ((QUICK)) && quick=(--quick)
    WORK=$WORK INPUT=$INPUT RESULTS=$RESULTS bash "$BENCH_DIR/figures.sh" --runs "$RUNS" \
      --rotate "$ROTATE_SIZE" --no-build "${quick[@]}"
  fi
  ((CHECK_FAILED == 0)) || die "our writer's output does not give the input back"
}

main "$@"
