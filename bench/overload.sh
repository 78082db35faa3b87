#!/usr/bin/env bash
# The writer under a rotation storm, when finished files come faster than
# one archive thread compresses them:
#   storm: MAXFILENUM 10, MAXFILESIZE 1000, lines paced for DURATION seconds
#          (about 2000 rotations a second), then the input is held open;
#   burst: 50,000 lines at once with MAXFILESIZE 0 (50,000 rotations), once
#          ended at the end of input and once held open.
# Prints, every SAMPLE seconds, the entries in DIRECTORY, how many are
# uncompressed .log files, their size and the writer's RSS; then how long
# the backlog takes to go once the input stops.
# The work directory is on disk by default: there every archive costs two
# fsyncs, as in production, and the archive thread falls behind.
# Usage: bench/overload.sh [--duration S] [--writer PATH] [--dir TMP] [--runs "storm burst burst-held"]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

DURATION=60
SAMPLE=5
WORK=/tmp
WRITER_BIN=""
RUNS="storm burst burst-held"
while [[ $# -gt 0 ]]; do
  case $1 in
    --duration) DURATION=$2; shift 2 ;;
    --writer) WRITER_BIN=$2; shift 2 ;;
    --dir) WORK=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    *) die "unknown argument $1" ;;
  esac
done
if [[ -z $WRITER_BIN ]]; then
  build_tools
  WRITER_BIN=$BUILD_DIR/app/zarvo-accesslogwriter
fi
warn_if_busy

scratch=$(mktemp -d "$WORK/zarvo-overload.XXXXXX")
trap 'pkill -P $$ 2>/dev/null; wait; rm -rf "$scratch"' EXIT

# paced RATE SECONDS HOLD: RATE lines a second for SECONDS, in 10 ms bursts;
# then, while the file HOLD is absent, keeps the pipe open.
paced() {
  perl -MTime::HiRes=time,sleep -e '
    my ($rate, $seconds, $hold) = @ARGV;
    $| = 1;
    my $per = int($rate / 100) || 1;
    my ($start, $n) = (time, 0);
    while (time - $start < $seconds) {
      print "GET /storm/$n/" . ("x" x 100) . " HTTP/1.1 200\n" for 1 .. $per;
      $n++;
      my $due = $start + $n / 100;
      sleep($due - time) if $due > time;
    }
    sleep 0.05 until -e $hold;' "$@"
}

# sample DIR PID: one line of figures.
sample() {
  local dir=$1 pid=$2 entries logs bytes rss
  entries=$(find "$dir" -mindepth 1 -maxdepth 1 | wc -l)
  logs=$(find "$dir" -maxdepth 1 -name 'zarvo-access-*.log' | wc -l)
  bytes=$(du -sk "$dir" 2>/dev/null | cut -f1 || true)
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo -)
  printf '%7.1f s  %7d entries  %7d .log  %8d KiB on disk  RSS %s KiB\n' \
    "$(awk -v s="$started" -v n="$(date +%s.%N)" 'BEGIN { print n - s }')" \
    "$entries" "$logs" "$bytes" "$rss"
}

# The backlog is gone when the current file, numbered at least WANT, is the
# only .log.
WANT=0
drained() {
  local link
  link=$(readlink "$1/zarvo-access.log" 2>/dev/null || true)
  link=${link##*-}
  [[ ${link%.log} -ge $WANT ]] && [[ $(find "$1" -maxdepth 1 -name 'zarvo-access-*.log' | wc -l) -le 1 ]]
}

# counted LINES SECONDS HOLD: LINES lines at once, then as paced.
counted() {
  seq 1 "$1"
  while [[ ! -e $3 ]]; do sleep 0.05; done
}

# held NAME MAXFILESIZE FEED ARG SECONDS: a run whose input stays open
# after the feed until the backlog is gone (at most 600 s); the input
# counts as stopped SECONDS after the start.
held() {
  local name=$1 size=$2 feed=$3 arg=$4 seconds=$5 dir=$scratch/$1 hold=$scratch/$1.hold
  mkdir "$dir"
  echo "== $name: MAXFILENUM 10, MAXFILESIZE $size, $feed $arg for $seconds s, input held open"
  started=$(date +%s.%N)
  "$feed" "$arg" "$seconds" "$hold" | "$WRITER_BIN" "$dir" 10 "$size" 2>>"$scratch/stderr" &
  local pid=$!
  local next=0 now fed_until
  fed_until=$(awk -v s="$started" -v d="$seconds" 'BEGIN { printf "%.3f", s + d }')
  local peak=0 count
  while :; do
    count=$(find "$dir" -mindepth 1 -maxdepth 1 | wc -l)
    ((count > peak)) && peak=$count
    now=$(date +%s.%N)
    if awk -v n="$now" -v f="$fed_until" 'BEGIN { exit !(n >= f) }' && drained "$dir"; then break; fi
    if awk -v n="$now" -v s="$started" -v t="$next" 'BEGIN { exit !(n - s >= t) }'; then
      sample "$dir" "$pid"
      next=$((next + SAMPLE))
    fi
    if awk -v n="$now" -v f="$fed_until" 'BEGIN { exit !(n - f > 600) }'; then
      echo "   backlog still there 600 s after the input stopped"; break
    fi
    sleep 0.2
  done
  sample "$dir" "$pid"
  local files
  files=$(ls "$dir" | grep -c '^zarvo-access-' || true)
  echo "   highest number $(ls -v "$dir" | grep -o '[0-9]*' | tail -1), most entries seen $peak (polled every 0.2 s)"
  echo "   backlog gone $(awk -v n="$(date +%s.%N)" -v f="$fed_until" 'BEGIN { printf "%.1f", n - f }') s after the input stopped; $files numbered files"
  touch "$hold"
  wait
}

# burst: 50,000 rotations, the input ending at once.
burst() {
  local dir=$scratch/burst
  mkdir "$dir"
  echo "== burst: seq 1 50000 | writer DIR 10 0, input ends at once"
  started=$(date +%s.%N)
  seq 1 50000 | "$WRITER_BIN" "$dir" 10 0 2>>"$scratch/stderr"
  echo "   at exit after $(awk -v n="$(date +%s.%N)" -v s="$started" 'BEGIN { printf "%.1f", n - s }') s:" \
    "$(ls "$dir" | grep -c '\.log$') .log, $(ls "$dir" | grep -c '\.gz$') .gz," \
    "$(du -sk "$dir" 2>/dev/null | cut -f1 || true) KiB on disk"
}

echo "writer $WRITER_BIN, work directory $WORK, load average $LOAD_AT_START"
touch "$scratch/stderr"
for run in $RUNS; do
  case $run in
    storm) held storm 1000 paced 8000 "$DURATION" ;;
    burst) burst ;;
    # The same input held open, counted from the moment it is all written.
    burst-held) WANT=50001 held burst-held 0 counted 50000 0 ;;
  esac
done
echo "messages on standard error: $(wc -l <"$scratch/stderr")"
