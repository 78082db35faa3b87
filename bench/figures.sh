#!/usr/bin/env bash
# Our writer's own figures, each against its target:
#   bash bench/figures.sh [--size BYTES] [--runs N] [--quick] [--rotate BYTES] [--no-build]
#                         [--no-install] [--only FIGURE[,FIGURE...]]
# FIGURE: record_loop main_cpu rss mallocs archive end_to_end no_wait instructions
# record loop and main-thread CPU against the copy floor, peak RSS at the
# benchmark size and at 1 GB, malloc calls at 100k and 1M records, the
# archive thread against zlib, end to end with archiving against the peers,
# the record loop with a stalled archive thread, and instructions per record
# (callgrind). run.sh calls it with WORK, INPUT and RESULTS (its rounds) set;
# alone it makes its own input and runs the rounds it needs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SIZE=70000000
RUNS=5
QUICK=0
BUILD=1
INSTALL=1
BIG_SIZE=1000000000
# Per read or open of the archive thread when it is stalled: 50 ms, so that
# it compresses next to nothing while the record loop runs.
STALL_US=50000
ALL_FIGURES=(record_loop main_cpu rss mallocs archive end_to_end no_wait instructions)
ONLY=("${ALL_FIGURES[@]}")

parse_args() {
  while (($#)); do
    case $1 in
      --size) SIZE=$2; shift ;;
      --runs) RUNS=$2; shift ;;
      --quick) QUICK=1; SIZE=20000000; RUNS=2 ;;
      --rotate) ROTATE_SIZE=$2; shift ;;
      --no-build) BUILD=0 ;;
      --no-install) INSTALL=0 ;;
      --only) IFS=, read -ra ONLY <<<"$2"; shift ;;
      *) die "unknown option $1 (see the comment at the top of bench/figures.sh)" ;;
    esac
    shift
  done
}

free_bytes() { df -PB1 "$1" 2>/dev/null | awk 'NR == 2 {print $4}'; }

# Alone: a work directory, the input and the rounds the figures compare with.
prepare_alone() {
  local base=${BENCH_TMP:-${TMPDIR:-/tmp}}
  if [[ -z ${BENCH_TMP:-} && -w /dev/shm ]] && (($(free_bytes /dev/shm || echo 0) > 6 * SIZE + 200000000)); then
    base=/dev/shm
  fi
  WORK=$(mktemp -d "$base/zarvo-figures.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
  INPUT=$WORK/input.log
  "$GEN" "$SIZE" >"$INPUT"
  RESULTS=$WORK/results.txt
  : >"$RESULTS"
  if wanted record_loop || wanted rss || wanted end_to_end; then
    run_rounds "$RESULTS" "$INPUT" "$RUNS" floor ours s6-log s6-log+gzip svlogd+gzip multilog+gzip \
      ours+archiving
  fi
}

wanted() { [[ " ${ONLY[*]} " == *" $1 "* ]]; }

# ROWS collects the figures table; a figure is "holds", "does not hold" or a note.
ROWS=()
row() { ROWS+=("| $1 | $2 | $3 | $4 |"); }
# verdict CONDITION: CONDITION is an awk expression over numbers.
verdict() { awk "BEGIN { print (($1) ? \"holds\" : \"**does not hold**\") }"; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

# Runs the writer once under run_timed: timed_writer RESULT DIR MAXFILENUM MAXFILESIZE INPUT [PRELOAD_OUT]
timed_writer() {
  local result=$1 dir=$2 num=$3 size=$4 input=$5 counts=${6:-}
  fresh_dir "$dir"
  if [[ -n $counts ]]; then
    # env execs the writer, so only the writer is counted, not run_timed.
    "$RUN_TIMED" "$result" env LD_PRELOAD="$MALLOC_COUNT" MALLOC_COUNT_FILE="$counts" \
      "$WRITER" "$dir" "$num" "$size" <"$input"
  else
    "$RUN_TIMED" "$result" "$WRITER" "$dir" "$num" "$size" <"$input"
  fi
}

figure_record_loop() {
  local ratio s6 ours
  ratio=$(pair_ratio "$RESULTS" ours)
  row "record loop wall, × floor pair by pair" "≤ 2" "$(fmt_ratio "$ratio")" \
    "$(verdict "${ratio%% *} <= 2")"
  s6=$(stat_of "$RESULTS" s6-log 3)
  ours=$(stat_of "$RESULTS" ours 3)
  if [[ ${s6%% *} != - ]]; then
    row "s6-log (no processor) wall / ours" "≥ 8" "$(calc "${s6%% *} / ${ours%% *}" 1)" \
      "$(verdict "${s6%% *} / ${ours%% *} >= 8")"
  fi
}

fmt_ratio() {
  local m lo hi
  read -r m lo hi <<<"$1"
  [[ $m == - ]] && { echo "-"; return; }
  printf '%.2f (%.2f–%.2f)' "$m" "$lo" "$hi"
}

# Main-thread CPU, two ways, each over the floor's CPU in the same round:
# without rotation (MAXFILESIZE -1 leaves the archive thread idle, so the
# process CPU is the main thread's) and with rotation, from the CPU clock of
# the thread that calls _exit (the main thread), read by the preload.
figure_main_cpu() {
  local r cpu=$WORK/cpu.txt one=$WORK/one.txt counts=$WORK/counts.txt floor idle thread
  : >"$cpu"
  for ((r = 1; r <= RUNS; r++)); do
    rm -f "$one" "$counts"
    fresh_dir "$WORK/cpu-floor"
    "$RUN_TIMED" "$one" cat <"$INPUT" >"$WORK/cpu-floor/file"
    timed_writer "$one" "$WORK/cpu-ours" "$KEEP_FILES" -1 "$INPUT"
    timed_writer /dev/null "$WORK/cpu-ours" "$KEEP_FILES" "$ROTATE_SIZE" "$INPUT" "$counts"
    floor=$(awk 'NR == 1 {print $2 + $3}' "$one")
    idle=$(awk 'NR == 2 {print $2 + $3}' "$one")
    thread=$(awk '{print $10}' "$counts")
    echo "$r $floor $idle $thread" >>"$cpu"
  done
  rm -rf "$WORK/cpu-floor" "$WORK/cpu-ours"
  local a b
  a=$(awk '$2 > 0 {print $3 / $2}' "$cpu" | median_min_max)
  b=$(awk '$2 > 0 {print $4 / $2}' "$cpu" | median_min_max)
  row "main-thread CPU, × floor CPU (MAXFILESIZE -1, process CPU)" "≤ 2.5" "$(fmt_ratio "$a")" \
    "$(verdict "${a%% *} <= 2.5")"
  row "main-thread CPU, × floor CPU (rotating, main thread's CPU clock)" "≤ 2.5" "$(fmt_ratio "$b")" \
    "$(verdict "${b%% *} <= 2.5")"
  local f t i
  f=$(awk '{print $2}' "$cpu" | median_min_max)
  t=$(awk '{print $4}' "$cpu" | median_min_max)
  i=$(awk '{print $3}' "$cpu" | median_min_max)
  NOTES+=("CPU medians: floor $(calc "${f%% *}" 3) s; main thread $(calc "${t%% *}" 3) s rotating, \
$(calc "${i%% *}" 3) s at one file")
}

# Peak RSS at the benchmark size (from the rounds) and at 1 GB, with the
# record loop's ratio to the floor at 1 GB as well.
figure_rss() {
  local small big_in=$WORK/big.log need=$((3 * 1000 * 1000 * 1000)) free name
  small=$(stat_of "$RESULTS" ours 7)
  small=${small%% *}
  row "peak RSS, $((SIZE / 1000000)) MB input" "≤ 6 MiB" "$(calc "$small / 1024" 2) MiB" \
    "$(verdict "$small <= 6 * 1024")"
  if ((QUICK)); then
    row "peak RSS, 1 GB input" "within 10 % of the above" "skipped (--quick)" "-"
    return
  fi
  free=$(free_bytes "$WORK")
  if ((free < need)); then
    row "peak RSS, 1 GB input" "within 10 % of the above" \
      "skipped: $((free / 1000000)) MB free in $WORK, 3000 MB needed" "-"
    return
  fi
  log "figures: 1 GB input"
  "$GEN" "$BIG_SIZE" >"$big_in"
  # Two rounds in opposite orders: whichever runs second reuses the memory
  # the first one's output freed.
  : >"$WORK/big-floor.txt"
  : >"$WORK/big-ours.txt"
  local order
  for order in "floor ours" "ours floor"; do
    for name in $order; do
      if [[ $name == floor ]]; then
        fresh_dir "$WORK/big-out"
        "$RUN_TIMED" "$WORK/big-floor.txt" cat <"$big_in" >"$WORK/big-out/file"
      else
        timed_writer "$WORK/big-ours.txt" "$WORK/big-out" "$KEEP_FILES" "$ROTATE_SIZE" "$big_in"
        BIG_LEFT=$(find "$WORK/big-out" -name 'zarvo-access-*' | wc -l)
      fi
      rm -rf "$WORK/big-out"
    done
  done
  rm -f "$big_in"
  local big wall_ratio
  big=$(awk '{print $4}' "$WORK/big-ours.txt" | median_min_max)
  big=${big%% *}
  wall_ratio=$(paste -d' ' "$WORK/big-ours.txt" "$WORK/big-floor.txt" | awk '{print $1 / $7}' |
    median_min_max)
  wall_ratio=$(calc "${wall_ratio%% *}" 2)
  row "peak RSS, 1 GB input" "≤ 6 MiB, within 10 % of $((SIZE / 1000000)) MB" \
    "$(calc "$big / 1024" 2) MiB ($(calc "($big - $small) * 100 / $small" 1) %)" \
    "$(verdict "$big <= 6 * 1024 && $big <= 1.1 * $small && $big >= 0.9 * $small")"
  row "record loop wall at 1 GB, × floor (2 runs, pair by pair)" "≤ 2" "$wall_ratio" "$(verdict "$wall_ratio <= 2")"
  NOTES+=("1 GB run left $BIG_LEFT files behind (archive backlog at exit)")
}

# lines N FILE: the first N generated lines.
lines_file() {
  (
    set +o pipefail  # head closes the pipe early on purpose
    "$GEN" $(($1 * 400)) | head -n "$1" >"$2"
  )
}

count_of() { awk '{print $2 + $4 + $6}' "$1"; }

# The 100k-line input of the allocation and instruction figures.
small_records() {
  SMALL_RECORDS=$WORK/100k.log
  [[ -s $SMALL_RECORDS ]] || lines_file 100000 "$SMALL_RECORDS"
}

# malloc, calloc and realloc calls at one file for 100k and 1M records, and
# with rotation for 1M records (the count should grow with rotations only).
figure_mallocs() {
  local small=$WORK/100k.log big=$WORK/1m.log c=$WORK/counts.txt a b rot files
  small_records
  lines_file 1000000 "$big"
  rm -f "$c"; timed_writer /dev/null "$WORK/m" "$KEEP_FILES" -1 "$small" "$c"; a=$(count_of "$c")
  rm -f "$c"; timed_writer /dev/null "$WORK/m" "$KEEP_FILES" -1 "$big" "$c"; b=$(count_of "$c")
  rm -f "$c"; timed_writer /dev/null "$WORK/m" "$KEEP_FILES" "$ROTATE_SIZE" "$big" "$c"; rot=$(count_of "$c")
  files=$(ours_files "$WORK/m" | tail -1 | sed 's/.*zarvo-access-\([0-9]*\).*/\1/')
  rm -rf "$WORK/m" "$big"
  row "malloc+calloc+realloc calls, one file: 100k / 1M records" "same ± a constant" \
    "$a / $b" "$(verdict "$b - $a <= 16")"
  row "… with rotation, 1M records ($((files - 1)) rotations)" "grows with rotations" \
    "$rot ($(calc "($rot - $b) / ($files - 1)" 1) per rotation)" "-"
}

# A finished file of ours: the highest-numbered uncompressed one that is not
# current, or else an archive inflated.
finished_file() {
  local dir=$WORK/finished current f
  timed_writer /dev/null "$dir" "$CHECK_FILES" "$ROTATE_SIZE" "$INPUT"
  current=$(readlink "$dir/zarvo-access.log")
  for f in $(ours_files "$dir" | sort -r); do
    [[ $f == "$current" || $(basename "$f") == $(basename "$current") ]] && continue
    if [[ $f == *.gz ]]; then gzip -dc "$f" >"$WORK/finished.log"; else cp "$f" "$WORK/finished.log"; fi
    break
  done
  rm -rf "$dir"
  [[ -s $WORK/finished.log ]]
}

figure_archive() {
  if ! finished_file; then
    row "archive thread, × zlib level 9" "≤ 1.05" "skipped: no finished file" "-"
    return
  fi
  local said ratio file_ratio rate
  # compress_rate alternates ours and zlib; single runs on 2 cores vary by
  # several per cent, more than the margin judged.
  local runs=9
  ((QUICK)) && runs=3
  said=$("$COMPRESS_RATE" "$WORK/finished.log" "$runs")
  ratio=$(sed -n 's/.*ours\/zlib \([0-9.]*\).*/\1/p' <<<"$said")
  file_ratio=$(sed -n 's/.*ours\/zlib-file \([0-9.]*\).*/\1/p' <<<"$said")
  rate=$(sed -n 's/.*compressFile median [0-9.]* s (\([0-9.]*\) MB\/s, ratio \([0-9.]*\)).*/\1 MB\/s, ratio \2/p' <<<"$said")
  row "archive thread: compressing a finished file, × zlib level 9 on the same bytes in memory" "≤ 1.05" \
    "$ratio" "$(verdict "$ratio <= 1.05")"
  row "… × zlib's own file interface (gzwrite) doing the same file-to-archive job" "≤ 1.05" \
    "$file_ratio" "$(verdict "$file_ratio <= 1.05")"
  row "archive thread: sustained rate (MB/s of input)" "reported" "$rate" "-"
  rm -f "$WORK/finished.log"
}

figure_end_to_end() {
  local ours best=- best_name='' name m
  ours=$(stat_of "$RESULTS" ours+archiving 3)
  for name in s6-log+gzip svlogd+gzip multilog+gzip; do
    m=$(stat_of "$RESULTS" "$name" 3)
    m=${m%% *}
    [[ $m == - ]] && continue
    if [[ $best == - ]] || awk -v a="$m" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$m
      best_name=$name
    fi
  done
  if [[ $best == - ]]; then
    row "end to end with archiving, wall" "≤ fastest peer with gzip -9" \
      "$(calc "${ours%% *}" 3) s; no peer ran" "-"
    return
  fi
  row "end to end with archiving, wall" "≤ fastest peer with gzip -9" \
    "$(calc "${ours%% *}" 3) s vs $(calc "$best" 3) s ($best_name): × $(calc "${ours%% *} / $best" 2)" \
    "$(verdict "${ours%% *} <= $best")"
}

# The writer's process id under run_timed, once it runs its three threads.
wait_for_writer() {
  local timed=$1 child='' i tasks
  for ((i = 0; i < 5000; i++)); do
    child=$(cat "/proc/$timed/task/$timed/children" 2>/dev/null || true)
    child=${child%% *}
    tasks=("/proc/$child/task"/*)
    if [[ -n $child && -d /proc/$child/task ]] && ((${#tasks[@]} >= 3)); then
      echo "$child"
      return 0
    fi
    sleep 0.002
  done
  return 1
}

# One record-loop run with strace attached to the writer's other threads
# (the archive and flush threads; only the archive thread reads or opens
# files), stalling their reads and opens when MODE is "stalled". The first
# read of the input waits behind a gate (the input_gate preload) until strace
# is attached; prints the seconds from that read to the main thread's _exit
# (the malloc_count preload's exit_at: the teardown of a traced process
# waits on the tracer, which is not the writer's time).
traced_loop_wall() {
  local mode=$1 dir=$WORK/stall gate=$WORK/stall.gate stamp=$WORK/stall.stamp res=$WORK/stall.res
  fresh_dir "$dir"
  rm -f "$gate" "$stamp" "$res"
  "$RUN_TIMED" /dev/null env LD_PRELOAD="$INPUT_GATE $MALLOC_COUNT" INPUT_GATE="$gate" \
    INPUT_GATE_STAMP="$stamp" MALLOC_COUNT_FILE="$res" \
    "$WRITER" "$dir" "$KEEP_FILES" "$ROTATE_SIZE" <"$INPUT" &
  local timed=$! writer tid tracer
  writer=$(wait_for_writer "$timed") || die "writer did not start"
  local -a attach=() inject=()
  for tid in "/proc/$writer/task"/*; do
    tid=${tid##*/}
    [[ $tid == "$writer" ]] || attach+=(-p "$tid")
  done
  [[ $mode == stalled ]] && inject=(-e "inject=read,pread64,openat:delay_enter=$STALL_US")
  strace -qq -o /dev/null -e trace=read,pread64,openat "${inject[@]}" "${attach[@]}" \
    2>>"$WORK/strace.stderr" &
  tracer=$!
  for tid in "/proc/$writer/task"/*; do
    tid=${tid##*/}
    [[ $tid == "$writer" ]] && continue
    until awk '/^TracerPid:/ { exit !($2 != 0) }' "/proc/$writer/task/$tid/status"; do sleep 0.002; done
  done
  touch "$gate"
  wait "$timed"
  wait "$tracer" || true
  [[ -s $stamp && -s $res ]] || die "the stalled-archive run did not report (input gate or exit stamp)"
  awk -v s="$(cat "$stamp")" '{printf "%.6f\n", $12 - s}' "$res"
  rm -rf "$dir"
}

figure_no_wait() {
  if ! command -v strace >/dev/null; then
    row "record loop with a stalled archive thread" "within 10 %" "skipped: strace not installed" "-"
    return
  fi
  local r walls=$WORK/stall.txt plain stalled diff
  : >"$walls"
  for ((r = 1; r <= RUNS; r++)); do
    echo "plain $(traced_loop_wall plain)" >>"$walls"
    echo "stalled $(traced_loop_wall stalled)" >>"$walls"
  done
  plain=$(awk '$1 == "plain" {print $2}' "$walls" | median_min_max)
  stalled=$(awk '$1 == "stalled" {print $2}' "$walls" | median_min_max)
  diff=$(calc "(${stalled%% *} - ${plain%% *}) * 100 / ${plain%% *}" 1)
  row "record loop wall, archive thread stalled vs not (strace on the other threads)" \
    "differs < 10 %" "$(calc "${stalled%% *}" 3) s vs $(calc "${plain%% *}" 3) s ($diff %)" \
    "$(verdict "($diff < 10) && ($diff > -10)")"
}

# Instructions per record on the hot path: callgrind on 100k records at one
# file, less a run on empty input (start-up and exit), over the records.
figure_instructions() {
  if ((QUICK)); then
    row "instructions per record (callgrind)" "reported" "skipped (--quick)" "-"
    return
  fi
  if ! command -v valgrind >/dev/null && ((INSTALL)) && [[ $(id -u) == 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends valgrind \
      </dev/null >/dev/null 2>&1 || true
  fi
  if ! command -v valgrind >/dev/null; then
    row "instructions per record (callgrind)" "reported" "skipped: valgrind not installed" "-"
    return
  fi
  local out=$WORK/callgrind.out empty=$WORK/callgrind-empty.out records total base
  small_records
  fresh_dir "$WORK/cg"
  valgrind --tool=callgrind --callgrind-out-file="$out" "$WRITER" "$WORK/cg" "$KEEP_FILES" -1 \
    <"$SMALL_RECORDS" 2>/dev/null
  records=$("$CHECK_LINES" "$SMALL_RECORDS" records "$WORK/cg/zarvo-access-1.log" |
    sed -n 's/.* \([0-9]*\) records/\1/p')
  fresh_dir "$WORK/cg"
  valgrind --tool=callgrind --callgrind-out-file="$empty" "$WRITER" "$WORK/cg" "$KEEP_FILES" -1 \
    </dev/null 2>/dev/null
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$out")
  base=$(awk '/^(summary|totals):/ {print $2; exit}' "$empty")
  row "instructions per record, callgrind, 100k lines at one file" "reported" \
    "$(calc "($total - $base) / $records" 0) (total $total Ir, $base at start-up and exit, $records records)" "-"
  # awk reads to the end: an early exit would fail the pipe under pipefail.
  TOP_FUNCTIONS=$(callgrind_annotate --inclusive=no "$out" 2>/dev/null |
    awk '/file:function/ && !go {go = 1; getline; next} go && NF && shown < 12 {print; shown++}
         go && !NF {go = 0}')
  rm -rf "$WORK/cg"
}

perf_note() {
  small_records
  local probe said
  probe=$(perf stat -x, -e instructions:u true 2>&1 || true)
  if ! command -v perf >/dev/null || [[ -z $probe || $probe == *"not supported"* ]]; then
    NOTES+=("perf stat -e instructions: not supported here (no hardware counters); callgrind only")
    return
  fi
  fresh_dir "$WORK/cg-perf"
  said=$(perf stat -x, -e instructions:u "$WRITER" "$WORK/cg-perf" "$KEEP_FILES" -1 \
    <"$SMALL_RECORDS" 2>&1 >/dev/null || true)
  NOTES+=("perf stat -e instructions:u, 100k lines at one file: ${said%%,*} instructions")
  rm -rf "$WORK/cg-perf"
}

main() {
  parse_args "$@"
  ((BUILD)) && build_tools
  find_tools
  NOTES=()
  TOP_FUNCTIONS=
  if [[ -z ${WORK:-} || -z ${INPUT:-} || -z ${RESULTS:-} ]]; then
    warn_if_busy
    ((INSTALL)) && install_peers
    prepare_alone
  fi
  local figure
  for figure in "${ALL_FIGURES[@]}"; do
    wanted "$figure" || continue
    log "figures: $figure"
    "figure_$figure"
  done
  wanted instructions && perf_note
  echo "Our writer's figures ($RUNS runs each where repeated):"
  echo
  echo "| figure | target | measured | verdict |"
  echo "|---|---|---|---|"
  printf '%s\n' "${ROWS[@]}"
  echo
  local note
  for note in "${NOTES[@]}"; do echo "- $note"; done
  if [[ -n $TOP_FUNCTIONS ]]; then
    echo
    echo "Top functions by instructions (callgrind, self cost, 100k lines at one file):"
    echo
    echo '```'
    echo "$TOP_FUNCTIONS"
    echo '```'
  fi
}

main "$@"
