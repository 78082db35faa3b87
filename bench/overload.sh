#!/usr/bin/env bash
# bash bench/run.sh overload [--duration S] [--writer PATH] [--dir TMP] [--runs "storm burst burst-held"]
# The writer when finished files come faster than one archive thread
# compresses them, MAXFILENUM 10:
#   storm       MAXFILESIZE 1000, 8000 lines a second for S seconds (default
#               60), then the input held open until the backlog is gone;
#   burst       seq 1 50000 with MAXFILESIZE 0 (50,000 rotations), input ending at once;
#   burst-held  the same, the input held open.
# Every 5 s: entries in DIRECTORY, uncompressed .log files, disk use, RSS;
# then the most entries seen (polled every 0.2 s) and how long the backlog
# took once the input stopped. --writer runs another build (before/after).
# The work directory is on disk by default (/tmp): there every archive costs
# two fsyncs, as in production, and the archive thread falls behind.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
DURATION=60 BASE=/tmp RUNS="storm burst burst-held" BIN=
while (($#)); do
  case $1 in
    --duration) DURATION=$2; shift ;;
    --writer) BIN=$(realpath "$2"); shift ;;
    --dir) BASE=$2; shift ;;
    --runs) RUNS=$2; shift ;;
    *) die "unknown option $1 (see the head of bench/overload.sh)" ;;
  esac
  shift
done
[[ -n $BIN ]] || { build_tools; BIN=$WRITER; }
BENCH_TMP=$BASE make_work overload
now() { date +%s.%N; }
since() { awk -v n="$(now)" -v s="$1" 'BEGIN { printf "%.1f", n - s }'; }
entries() { find "$1" -mindepth 1 -maxdepth 1 | wc -l; }
logs() { find "$1" -maxdepth 1 -name 'zarvo-access-*.log' | wc -l; }
sample() {
  printf '%7.1f s  %7d entries  %7d .log  %8d KiB on disk  RSS %s KiB\n' "$(since "$START")" \
    "$(entries "$1")" "$(logs "$1")" "$(du -sk "$1" 2>/dev/null | cut -f1)" \
    "$(awk '/^VmRSS/ {print $2}' "/proc/$2/status" 2>/dev/null || echo -)"
}
# paced RATE SECONDS: RATE lines a second for SECONDS, in 10 ms bursts.
paced() {
  perl -MTime::HiRes=time,sleep -e '$| = 1; my ($rate, $s) = @ARGV; my $per = int($rate / 100) || 1;
    my ($t0, $n) = (time, 0);
    while (time - $t0 < $s) { print "GET /storm/$n/" . ("x" x 100) . " HTTP/1.1 200\n" for 1 .. $per;
      $n++; my $due = $t0 + $n / 100; sleep($due - time) if $due > time; }' "$@"
}

# The number of the file the link names.
current() { local l; l=$(readlink "$1/zarvo-access.log") || l=-0.log; l=${l##*-}; echo "${l%.log}"; }
# held NAME MAXFILESIZE SECONDS WANT FEED...: FEED into the writer, the input
# held open after it until the backlog is gone (at most 600 s): the current
# file, numbered WANT or more, is the only .log. The input counts as stopped
# SECONDS after the start.
held() {
  local name=$1 size=$2 seconds=$3 want=$4 dir=$WORK/$1 fifo=$WORK/$1.fifo fd pid peak=0 next=0 count
  shift 4
  mkdir "$dir" && mkfifo "$fifo"
  echo "== $name: MAXFILENUM 10, MAXFILESIZE $size, $* for $seconds s, input held open"
  START=$(now)
  "$BIN" "$dir" 10 "$size" <"$fifo" 2>>"$WORK/stderr" &
  pid=$! && STARTED+=("$pid")
  exec {fd}>"$fifo"
  "$@" >&"$fd" &
  local feed=$!
  local stop
  stop=$(awk -v s="$START" -v d="$seconds" 'BEGIN { printf "%.3f", s + d }')
  while :; do
    count=$(entries "$dir") && ((count > peak)) && peak=$count
    if [[ ! -e /proc/$feed ]] && awk -v n="$(now)" -v f="$stop" 'BEGIN { exit !(n >= f) }' &&
      (($(current "$dir") >= want && $(logs "$dir") <= 1)); then break; fi
    if awk -v n="$(since "$START")" -v t="$next" 'BEGIN { exit !(n >= t) }'; then sample "$dir" "$pid"; next=$((next + 5)); fi
    awk -v n="$(now)" -v f="$stop" 'BEGIN { exit !(n - f > 600) }' && { echo "   backlog still there after 600 s"; break; }
    sleep 0.2
  done
  wait "$feed" || true
  sample "$dir" "$pid"
  echo "   highest number $(ls -v "$dir" | grep -o '[0-9]*' | tail -1), most entries seen $peak (polled every 0.2 s)"
  echo "   backlog gone $(since "$stop") s after the input stopped"
  exec {fd}>&-
  wait "$pid"
}

echo "writer $BIN, work directory $WORK ($(fs_of "$WORK")), load average $LOAD_AT_START"
touch "$WORK/stderr"
for run in $RUNS; do
  case $run in
    storm) held storm 1000 "$DURATION" 0 paced 8000 "$DURATION" ;;
    burst)
      mkdir "$WORK/burst" && START=$(now)
      echo "== burst: seq 1 50000 | writer DIR 10 0, input ends at once"
      seq 1 50000 | "$BIN" "$WORK/burst" 10 0 2>>"$WORK/stderr"
      echo "   at exit after $(since "$START") s: $(ls "$WORK/burst" | grep -c '\.log$') .log," \
        "$(ls "$WORK/burst" | grep -c '\.gz$') .gz, $(du -sk "$WORK/burst" | cut -f1) KiB on disk" ;;
    burst-held) held burst-held 0 0 50001 seq 1 50000 ;;
    *) die "unknown run $run" ;;
  esac
done
echo "messages on standard error: $(wc -l <"$WORK/stderr")"
