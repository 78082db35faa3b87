#!/usr/bin/env bash
# bash bench/run.sh bulk [--size BYTES] [--runs N] [--quick] [--rotate BYTES] [--no-figures]
# Generates the input once, runs every contender once per round in a fresh
# directory with the input on stdin (each round starts one further along the
# list), checks that each contender's output gives the input back, prints the
# table, then our writer's figures against their targets.
#   --size BYTES    input size (default 70000000, about 250,000 lines)
#   --runs N        rounds, and runs of each repeated figure (default 5)
#   --quick         20 MB, 2 rounds, no 1 GB run and no callgrind
#   --rotate BYTES  MAXFILESIZE and the peers' size limit (default 8388608)
#   --no-figures    only the table
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
SIZE=70000000 RUNS=5 QUICK=0 FIGURES=1
while (($#)); do
  case $1 in
    --size) SIZE=$2; shift ;;
    --runs) RUNS=$2; shift ;;
    --quick) QUICK=1 SIZE=20000000 RUNS=2 ;;
    --rotate) ROTATE_SIZE=$2; shift ;;
    --no-figures) FIGURES=0 ;;
    *) die "unknown option $1 (see the head of bench/bulk.sh)" ;;
  esac
  shift
done
[[ $SIZE$ROTATE_SIZE =~ ^[0-9]+$ && $RUNS =~ ^[1-9][0-9]*$ ]] || die "--size, --runs and --rotate take numbers"
CONTENDERS=(floor ours rotatelogs s6-log svlogd multilog s6-log+gzip svlogd+gzip multilog+gzip
            ours+archiving)

build_tools
install_peers
make_work bulk $((6 * SIZE))
INPUT=$WORK/input.log RESULTS=$WORK/results.txt
"$TOOLS/gen_access_log" "$SIZE" >"$INPUT"
LINES=$(wc -l <"$INPUT") BYTES=$(stat -c %s "$INPUT")
NAMES=()
for name in "${CONTENDERS[@]}"; do
  if contender_available "$name"; then NAMES+=("$name"); else log "skipping $name: $SKIP_REASON"; fi
done

# Results: "name round wall cpu rss_kib status", one run a line.
: >"$RESULTS"
for ((round = 1; round <= RUNS; round++)); do
  log "round $round of $RUNS"
  for ((i = 0; i < ${#NAMES[@]}; i++)); do
    name=${NAMES[(i + round - 1) % ${#NAMES[@]}]} one=$WORK/one.txt status=0
    rm -f "$one"
    run_contender "$name" "$WORK/out" "$INPUT" "$one" "$KEEP_FILES" 2>"$WORK/stderr" || status=$?
    ((status == 0)) || log "$name exited with status $status: $(tail -3 "$WORK/stderr")"
    awk -v n="$name" -v r="$round" '{print n, r, $1, $2 + $3, $4, $5}' "$one" >>"$RESULTS"
  done
done
rm -rf "$WORK/out"

# stat_of NAME COLUMN: median min max of the column (3 wall, 4 cpu, 5 rss) of NAME's good runs.
stat_of() { awk -v n="$1" -v f="$2" '$1 == n && $6 == 0 {print $f}' "$RESULTS" | median_min_max; }
# Median of NAME's COLUMN over the floor's in the same round.
pair_ratio() {
  awk -v n="$1" -v f="${2:-3}" '$6 != 0 {next} $1 == "floor" {b[$2] = $f} $1 == n {c[$2] = $f}
    END { for (r in c) if (b[r] > 0) print c[r] / b[r] }' "$RESULTS" | median_min_max
}
med() { local m; m=$(stat_of "$@"); echo "${m%% *}"; }

FAILED=0
echo "Input: $BYTES bytes, $LINES lines on stdin; rotation at $ROTATE_SIZE bytes; $RUNS rounds;" \
  "$(nproc) cores, $(uname -r); work directory on $(fs_of "$WORK"); load average $LOAD_AT_START at the start."
echo
echo "| contender | wall s, median (min–max) | CPU s, user+sys | peak RSS MiB | M lines/s | MB/s | × floor, pair by pair | output check |"
echo "|---|---|---|---|---|---|---|---|"
for name in "${NAMES[@]}"; do
  log "checking $name"
  check=$(run_contender "$name" "$WORK/check" "$INPUT" /dev/null "$CHECK_FILES" 2>/dev/null &&
    check_output "$name" "$WORK/check" "$INPUT") || { [[ $name == ours* ]] && FAILED=1; }
  check=${check:-the checked run failed}
  rm -rf "$WORK/check"
  wall=$(med "$name" 3)
  if [[ $wall == - ]]; then echo "| $(contender_label "$name") | failed | - | - | - | - | - | $check |"; continue; fi
  ratio=$(pair_ratio "$name")
  echo "| $(contender_label "$name") | $(fmt_range "$(stat_of "$name" 3)" 3) |" \
    "$(fmt_range "$(stat_of "$name" 4)" 3) | $(calc "$(med "$name" 5) / 1024" 1) |" \
    "$(calc "$LINES / $wall / 1e6") | $(calc "$BYTES / $wall / 1e6" 0) | $(calc "${ratio%% *}" 1) | $check |"
done
echo
((FIGURES)) || { ((FAILED == 0)) || die "our writer's output does not give the input back"; exit 0; }

# --- our writer's figures --------------------------------------------------------

ROWS=() NOTES=()
row() { ROWS+=("| $1 | $2 | $3 | $4 |"); }
# counted RESULT COUNTS DIR NUM SIZE INPUT: one timed run of the writer with
# the allocation counter preloaded (env execs the writer: only it counts).
counted() {
  rm -rf "$3" && mkdir "$3"
  "$TOOLS/run_timed" "$1" env LD_PRELOAD="$TOOLS/libpreload.so" PRELOAD_COUNTS="$2" \
    "$WRITER" "$3" "$4" "$5" <"$6"
}
mallocs_of() { awk '{print $2 + $4 + $6}' "$1"; }

ratio=$(pair_ratio ours)
row "record loop wall, × floor pair by pair" "≤ 2" "$(fmt_range "$ratio")" "$(verdict "${ratio%% *} <= 2")"
if [[ $(med s6-log 3) != - ]]; then
  row "s6-log (no processor) wall / ours" "≥ 8" "$(calc "$(med s6-log 3) / $(med ours 3)" 1)" \
    "$(verdict "$(med s6-log 3) / $(med ours 3) >= 8")"
fi

# Main-thread CPU over the floor's, two ways: MAXFILESIZE -1 leaves the
# archive thread idle, so the process CPU is the main thread's; rotating, the
# CPU clock of the thread that calls _exit (the main thread), from the preload.
log "figures: main-thread CPU"
: >"$WORK/cpu.txt"
for ((r = 1; r <= RUNS; r++)); do
  rm -f "$WORK"/t.txt "$WORK"/c.txt
  "$TOOLS/run_timed" "$WORK/t.txt" cat <"$INPUT" >"$WORK/floor.out"
  counted "$WORK/t.txt" /dev/null "$WORK/m" "$KEEP_FILES" -1 "$INPUT"
  counted /dev/null "$WORK/c.txt" "$WORK/m" "$KEEP_FILES" "$ROTATE_SIZE" "$INPUT"
  echo "$(awk '{printf "%s ", $2 + $3}' "$WORK/t.txt")$(awk '{print $10}' "$WORK/c.txt")" >>"$WORK/cpu.txt"
done
for c in "2 MAXFILESIZE -1, process CPU" "3 rotating, main thread's CPU clock"; do
  m=$(awk -v c="${c%% *}" '$1 > 0 {print $c / $1}' "$WORK/cpu.txt" | median_min_max)
  row "main-thread CPU, × floor CPU (${c#* })" "≤ 2.5" "$(fmt_range "$m")" "$(verdict "${m%% *} <= 2.5")"
done
cpu() { calc "$(awk -v c="$1" '{print $c}' "$WORK/cpu.txt" | median_min_max | cut -d' ' -f1)" 3; }
NOTES+=("CPU medians: floor $(cpu 1) s; main thread $(cpu 3) s rotating, $(cpu 2) s at one file")

small=$(med ours 5)
row "peak RSS, $((SIZE / 1000000)) MB input" "≤ 6 MiB" "$(calc "$small / 1024") MiB" "$(verdict "$small <= 6144")"
free=$(df -PB1 "$WORK" | awk 'NR == 2 {print $4}')
if ((QUICK || free < 3000000000)); then
  row "peak RSS, 1 GB input" "within 10 % of the above" "skipped (--quick, or $((free / 1000000)) MB free)" "-"
else
  log "figures: 1 GB input"
  "$TOOLS/gen_access_log" 1000000000 >"$WORK/big.log"
  # Both orders: whichever runs second reuses the memory the first one freed.
  for name in floor ours ours floor; do
    run_contender "$name" "$WORK/out" "$WORK/big.log" "$WORK/big-$name.txt" "$KEEP_FILES"
    [[ $name == ours ]] && left=$(find "$WORK/out" -name 'zarvo-access-*' | wc -l)
    rm -rf "$WORK/out"
  done
  rm -f "$WORK/big.log"
  big=$(awk '{print $4}' "$WORK/big-ours.txt" | median_min_max | cut -d' ' -f1)
  wall=$(paste -d' ' "$WORK/big-ours.txt" "$WORK/big-floor.txt" | awk '{print $1 / $6}' | median_min_max)
  row "peak RSS, 1 GB input" "≤ 6 MiB, within 10 % of $((SIZE / 1000000)) MB" \
    "$(calc "$big / 1024") MiB ($(calc "($big - $small) * 100 / $small" 1) %)" \
    "$(verdict "$big <= 6144 && $big <= 1.1 * $small && $big >= 0.9 * $small")"
  row "record loop wall at 1 GB, × floor (2 runs, pair by pair)" "≤ 2" "$(calc "${wall%% *}")" \
    "$(verdict "${wall%% *} <= 2")"
  NOTES+=("1 GB run left $left files behind (archive backlog at exit)")
fi

log "figures: allocations"
"$TOOLS/gen_access_log" 400000000 | head -n 1000000 >"$WORK/1m.log" || true
head -n 100000 "$WORK/1m.log" >"$WORK/100k.log"
for run in "a -1 100k" "b -1 1m" "rot $ROTATE_SIZE 1m"; do
  read -r var size lines <<<"$run"
  rm -f "$WORK/c.txt"
  counted /dev/null "$WORK/c.txt" "$WORK/m" "$KEEP_FILES" "$size" "$WORK/$lines.log"
  printf -v "$var" %s "$(mallocs_of "$WORK/c.txt")"
done
files=$(ls -v "$WORK/m" | grep -o '^zarvo-access-[0-9]*' | tail -1 | grep -o '[0-9]*$')
rm -f "$WORK/1m.log"
row "malloc+calloc+realloc calls, one file: 100k / 1M records" "same ± a constant" "$a / $b" \
  "$(verdict "$b - $a <= 16")"
row "… with rotation, 1M records ($((files - 1)) rotations)" "grows with rotations" \
  "$rot ($(calc "($rot - $b) / ($files - 1)" 1) per rotation)" "-"

# The archive thread against zlib, on a finished file of ours (the first one).
log "figures: archive thread"
rm -rf "$WORK/m" && mkdir "$WORK/m"
head -c $((2 * ROTATE_SIZE)) "$INPUT" | "$WRITER" "$WORK/m" "$CHECK_FILES" "$ROTATE_SIZE"
zcat -f "$(ls -v "$WORK"/m/zarvo-access-1.log* | head -1)" >"$WORK/finished.log"
said=$("$TOOLS/compress_rate" "$WORK/finished.log" $((QUICK ? 3 : 9)))
ratio=$(sed -n 's/.*ours\/zlib \([0-9.]*\).*/\1/p' <<<"$said")
file_ratio=$(sed -n 's/.*ours\/zlib-file \([0-9.]*\).*/\1/p' <<<"$said")
row "archive thread: compressing a finished file, × zlib level 9 on the same bytes in memory" "≤ 1.05" \
  "$ratio" "$(verdict "$ratio <= 1.05")"
row "… × zlib's own file interface (gzwrite) doing the same file-to-archive job" "≤ 1.05" \
  "$file_ratio" "$(verdict "$file_ratio <= 1.05")"
row "archive thread: sustained rate (MB/s of input)" "reported" \
  "$(sed -n 's/.*(\([0-9.]*\) MB\/s, ratio \([0-9.]*\)).*/\1 MB\/s, ratio \2/p' <<<"$said")" "-"

best=- best_name=
for name in s6-log+gzip svlogd+gzip multilog+gzip; do
  m=$(med "$name" 3)
  [[ $m != - ]] && { [[ $best == - ]] || awk "BEGIN { exit !($m < $best) }"; } && best=$m best_name=$name
done
ours=$(med ours+archiving 3)
if [[ $best != - && $ours != - ]]; then
  row "end to end with archiving, wall" "≤ fastest peer with gzip -9" \
    "$(calc "$ours" 3) s vs $(calc "$best" 3) s ($best_name): × $(calc "$ours / $best")" \
    "$(verdict "$ours <= $best")"
fi

# The record loop with strace on the writer's other threads (only the archive
# thread reads or opens files), stalling their reads and opens 50 ms each when
# $1 is "stalled". The first read of the input waits behind the input gate
# until strace is attached; prints the seconds from that read to the main
# thread's _exit (the teardown of a traced process waits on the tracer).
traced_loop_wall() {
  local gate=$WORK/gate stamp=$WORK/stamp res=$WORK/res job pid tid tracer attach=() inject=()
  rm -rf "$WORK/m" "$gate" "$stamp" "$res" && mkdir "$WORK/m"
  "$TOOLS/run_timed" /dev/null env LD_PRELOAD="$TOOLS/libpreload.so" \
    INPUT_GATE="$gate" INPUT_GATE_STAMP="$stamp" PRELOAD_COUNTS="$res" \
    "$WRITER" "$WORK/m" "$KEEP_FILES" "$ROTATE_SIZE" <"$INPUT" &
  job=$!
  until_true 10 eval 'pid=$(timed_child $job) && (($(ls "/proc/$pid/task" | wc -l) >= 3))' ||
    die "the writer did not start its threads"
  local tasks=("/proc/$pid/task"/*)
  tasks=("${tasks[@]##*/}")
  for tid in "${tasks[@]}"; do [[ $tid == "$pid" ]] || attach+=(-p "$tid"); done
  [[ $1 == stalled ]] && inject=(-e "inject=read,pread64,openat:delay_enter=50000")
  strace -qq -o /dev/null -e trace=read,pread64,openat "${inject[@]}" "${attach[@]}" 2>/dev/null &
  tracer=$!
  for tid in "${tasks[@]}"; do
    [[ $tid == "$pid" ]] ||
      until_true 10 awk '/^TracerPid:/ { exit !$2 }' "/proc/$pid/task/$tid/status" || die "strace did not attach"
  done
  touch "$gate"
  wait "$job"
  wait "$tracer" || true
  awk -v s="$(cat "$stamp")" '{printf "%.6f\n", $12 - s}' "$res"
}
if command -v strace >/dev/null; then
  log "figures: stalled archive thread"
  : >"$WORK/stall.txt"
  for ((r = 1; r <= RUNS; r++)); do
    for mode in plain stalled; do echo "$mode $(traced_loop_wall $mode)" >>"$WORK/stall.txt"; done
  done
  plain=$(awk '$1 == "plain" {print $2}' "$WORK/stall.txt" | median_min_max | cut -d' ' -f1)
  stalled=$(awk '$1 == "stalled" {print $2}' "$WORK/stall.txt" | median_min_max | cut -d' ' -f1)
  diff=$(calc "($stalled - $plain) * 100 / $plain" 1)
  row "record loop wall, archive thread stalled vs not (strace on the other threads)" "differs < 10 %" \
    "$(calc "$stalled" 3) s vs $(calc "$plain" 3) s ($diff %)" "$(verdict "$diff < 10 && $diff > -10")"
fi

# Instructions per record: callgrind on 100k records at one file, less a run
# on empty input (start-up and exit), over the records stored.
((QUICK)) || apt_install valgrind
if ((QUICK == 0)) && command -v valgrind >/dev/null; then
  log "figures: callgrind"
  for f in 100k.log empty; do
    rm -rf "$WORK/m" && mkdir "$WORK/m" && touch "$WORK/empty"
    valgrind --tool=callgrind --callgrind-out-file="$WORK/cg.$f" "$WRITER" "$WORK/m" 5 -1 \
      <"$WORK/$f" 2>/dev/null
  done
  rm -rf "$WORK/m" && mkdir "$WORK/m" && "$WRITER" "$WORK/m" 5 -1 <"$WORK/100k.log"
  records=$(($(grep -aoE "$PREFIX_RE" "$WORK/m/zarvo-access-1.log" | wc -l) - 1))
  total=$(awk '/^(summary|totals):/ {print $2; exit}' "$WORK/cg.100k.log")
  base=$(awk '/^(summary|totals):/ {print $2; exit}' "$WORK/cg.empty")
  row "instructions per record, callgrind, 100k lines at one file" "reported" \
    "$(calc "($total - $base) / $records" 0) (total $total Ir, $base at start-up and exit, $records records)" "-"
  TOP=$(callgrind_annotate --inclusive=no "$WORK/cg.100k.log" 2>/dev/null |
    awk '/file:function/ && !go {go = 1; getline; next} go && NF && shown < 12 {print; shown++} go && !NF {go = 0}')
fi

echo "Our writer's figures ($RUNS runs each where repeated):"
echo
echo "| figure | target | measured | verdict |"
echo "|---|---|---|---|"
printf '%s\n' "${ROWS[@]}"
echo
printf -- '- %s\n' "${NOTES[@]}"
if [[ -n ${TOP:-} ]]; then
  printf '\nTop functions by instructions (callgrind, self cost, 100k lines at one file):\n\n```\n%s\n```\n' "$TOP"
fi
((FAILED == 0)) || die "our writer's output does not give the input back"
