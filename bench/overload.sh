#!/usr/bin/env bash
# bash bench/run.sh overload [--duration S] [--writer PATH] [--dir TMP] [--sustain MB/S]
#                            [--runs "flood-1.5 flood-8 crafted storm burst burst-held"]
# The writer when finished files come faster than one archive thread
# compresses them, MAXFILENUM 10:
#   flood-F     MAXFILESIZE 16 MiB, generated access-log lines at F times what
#               the archive thread sustains (level 9 on one core, measured
#               here unless --sustain gives it) for S seconds, the writer
#               pinned to CPU 0 with taskset, feeder and sampler on CPU 1.
#               DIRECTORY is sampled every 10 ms: peak entries and bytes
#               against the bound (current file, 9 finished files, one archive
#               temporary, the link; bytes: 11 files of MAXFILESIZE plus one
#               record), archives at the end, the share of the archive
#               thread's CPU that went into archives still there at the end
#               (each survivor compressed again at its header's level), and
#               the main thread's CPU per GB of input;
#   crafted     the same at 1.5 times, lines of 8 tokens drawn from 64
#               three-letter ones: zlib level 9 slows to a crawl on them;
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
DURATION=60 BASE=/tmp RUNS="flood-1.5 flood-8 crafted storm burst burst-held" BIN= SUSTAIN=
while (($#)); do
  case $1 in
    --sustain) SUSTAIN=$2; shift ;;
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

FLOOD_SIZE=16777216
# make_input FILE KIND MB: generated access-log lines, or the crafted ones.
make_input() {
  if [[ $2 == crafted ]]; then
    python3 -c 'import random, sys
random.seed(7); toks = [bytes(random.choice(b"abcd") for _ in range(3)) for _ in range(64)]
out = bytearray(); n = int(sys.argv[1]) * 1000000
while len(out) < n: out += b" ".join(random.choice(toks) for _ in range(8)) + b"\n"
open(sys.argv[2], "wb").write(out)' "$3" "$1"
  else
    "$TOOLS/gen_access_log" "$(($3 * 1000000))" >"$1"
  fi
}
# Level 9 on one core, MB of input per CPU second.
measure_sustain() {
  python3 -c 'import sys, time, zlib
d = open(sys.argv[1], "rb").read(); t = time.process_time()
c = zlib.compressobj(9, zlib.DEFLATED, 31); c.compress(d); c.flush()
print("%.1f" % (len(d) / (time.process_time() - t) / 1e6))' "$1"
}
# flood NAME FACTOR INPUT: INPUT, looped, at FACTOR x SUSTAIN MB/s.
flood() {
  local name=$1 factor=$2 input=$3 dir=$WORK/$1 fifo=$WORK/$1.fifo rate pid
  rate=$(calc "$factor * $SUSTAIN" 1)
  mkdir "$dir" && mkfifo "$fifo"
  echo "== $name: MAXFILENUM 10, MAXFILESIZE 16 MiB, $rate MB/s ($factor x $SUSTAIN) for $DURATION s"
  taskset -c 0 env LD_PRELOAD="$TOOLS/libpreload.so" PRELOAD_COUNTS="$WORK/$name.counts" \
    "$BIN" "$dir" 10 "$FLOOD_SIZE" <"$fifo" 2>>"$WORK/stderr" &
  pid=$! && STARTED+=("$pid")
  # Held open after the flood, as a proxy holds its pipe: the writer goes on.
  local hold
  exec {hold}>"$fifo"
  # The sampler: every 10 ms the entries and bytes of DIRECTORY and the
  # CPU of each writer thread, until the writer is gone.
  taskset -c 1 python3 -c 'import os, sys, time
d, pid, out = sys.argv[1], sys.argv[2], sys.argv[3]
peak_e = peak_b = peak_tmp = samples = 0; cpu = {}; published = set()
while os.path.exists("/proc/" + pid):
    e = b = t = 0
    try:
        for x in os.scandir(d):
            if x.name == ".zarvo-access.log.tmp": t += 1; continue
            if x.name.endswith(".log.gz"): published.add(x.name)
            e += 1
            try: b += x.stat(follow_symlinks=False).st_size if not x.is_symlink() else 0
            except FileNotFoundError: pass
    except FileNotFoundError: pass
    peak_e, peak_b, peak_tmp = max(peak_e, e), max(peak_b, b), max(peak_tmp, t); samples += 1
    try:
        for tid in os.listdir("/proc/%s/task" % pid):
            f = open("/proc/%s/task/%s/stat" % (pid, tid)).read().rsplit(")", 1)[1].split()
            cpu[tid] = (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")
    except (FileNotFoundError, ProcessLookupError, IndexError): pass
    time.sleep(0.01)
main = cpu.pop(pid, 0); arch = max(cpu.values()) if cpu else 0
open(out, "w").write("%d %d %d %d %.2f %d\n" % (peak_e, peak_b, peak_tmp, samples, arch, len(published)))' \
    "$dir" "$pid" "$WORK/$name.peaks" {hold}>&- &
  local sampler=$!
  taskset -c 1 python3 -c 'import os, sys, time
data = open(sys.argv[1], "rb").read(); rate = float(sys.argv[2]) * 1e6; secs = float(sys.argv[3])
fd = os.open(sys.argv[4], os.O_WRONLY); block = 256 * 1024; sent = at = 0; t0 = time.monotonic()
while time.monotonic() - t0 < secs:
    n = os.write(fd, data[at:at + block]); sent += n; at = (at + n) % len(data)
    due = t0 + sent / rate; now = time.monotonic()
    if due > now: time.sleep(due - now)
open(sys.argv[5], "w").write("%d %.2f\n" % (sent, time.monotonic() - t0))' \
    "$input" "$rate" "$DURATION" "$fifo" "$WORK/$name.fed" {hold}>&-
  local archives_at_stop waited=0
  archives_at_stop=$(find "$dir" -maxdepth 1 -name '*.gz' | wc -l)
  # With the input quiet, the compression under way finishes (at most 10 s).
  until (($(find "$dir" -maxdepth 1 -name '*.gz' | wc -l) > 0)) || ((waited >= 100)); do
    sleep 0.1 && waited=$((waited + 1))
  done
  local archives_quiet
  archives_quiet=$(find "$dir" -maxdepth 1 -name '*.gz' | wc -l)
  exec {hold}>&-
  wait "$pid" || true
  wait "$sampler" || true
  local fed secs peak_e peak_b peak_tmp samples arch main_cpu record bound_b
  read -r fed secs <"$WORK/$name.fed"
  read -r peak_e peak_b peak_tmp samples arch published <"$WORK/$name.peaks"
  main_cpu=$(grep -o 'thread_cpu [0-9.]*' "$WORK/$name.counts" | awk '{print $2}')
  # One record: the prefix (its length from the first file) and 2047 bytes.
  record=$(($(head -c 4096 "$(ls -v "$dir"/zarvo-access-*.log | tail -1)" | sed -n 3p |
    grep -oE "^$PREFIX_RE" | wc -c) - 1 + 2047))
  bound_b=$((11 * (FLOOD_SIZE + record)))
  echo "   fed $(calc "$fed / 1e6" 0) MB in $secs s ($(calc "$fed / 1e6 / $secs" 1) MB/s); $samples samples"
  echo "   peak entries $peak_e (bound 12: current, 9 finished, one temporary, the link;" \
    "the link's own temporary seen in $peak_tmp sample(s) at most at once): $(verdict "$peak_e <= 12")"
  echo "   peak bytes $peak_b (bound $bound_b): $(verdict "$peak_b <= $bound_b")"
  echo "   archives when the flood stopped $archives_at_stop; $archives_quiet after $(calc "$waited / 10" 1) s of" \
    "quiet input; $(find "$dir" -maxdepth 1 -name '*.gz' | wc -l) when the input closed"
  python3 -c 'import glob, gzip, sys, time, zlib
spent = 0.0; levels = {}
for f in glob.glob(sys.argv[1] + "/*.gz"):
    raw = open(f, "rb").read(); level = {2: 9, 4: 1}.get(raw[8], 6); d = gzip.decompress(raw)
    levels[level] = levels.get(level, 0) + 1
    t = time.process_time(); c = zlib.compressobj(level, zlib.DEFLATED, 31); c.compress(d); c.flush()
    spent += time.process_time() - t
arch = float(sys.argv[2]); n = sum(levels.values()); published = int(sys.argv[3])
print("   archive thread CPU %.1f s; its survivors cost %.1f s again (levels %s): share %s" % (arch, spent,
      levels, "%.0f %%" % (100 * spent / arch) if arch > 0 else "-"))
# Archives retention retired later were not wasted work: each was the newest
# once. At the survivors mean cost apiece, what every published archive took.
if n and arch > 0:
    print("   archives published in the run %d: about %.1f s, %.0f %% of the thread s CPU; the rest went"
          " into compressions given up" % (published, published * spent / n, 100 * published * spent / n / arch))' \
    "$dir" "$arch" "$published"
  echo "   main thread CPU $main_cpu s: $(calc "$main_cpu / ($fed / 1e9)" 2) s per GB"
  rm -rf "$dir" "$fifo"
}

echo "writer $BIN, work directory $WORK ($(fs_of "$WORK")), load average $LOAD_AT_START"
touch "$WORK/stderr"
for run in $RUNS; do
  case $run in
    flood-* | crafted)
      if [[ ! -f $WORK/input ]]; then
        make_input "$WORK/input" lines 256
        [[ -n $SUSTAIN ]] || SUSTAIN=$(measure_sustain "$WORK/input")
        echo "archive thread sustains $SUSTAIN MB/s (zlib level 9, one core, MB of input per CPU second)"
      fi
      if [[ $run == crafted ]]; then
        [[ -f $WORK/crafted.input ]] || make_input "$WORK/crafted.input" crafted 64
        flood crafted 1.5 "$WORK/crafted.input"
      else
        flood "$run" "${run#flood-}" "$WORK/input"
      fi ;;
    storm) held storm 1000 "$DURATION" 0 paced 8000 "$DURATION" ;;
    burst)
      mkdir "$WORK/burst" && START=$(now)
      echo "== burst: seq 1 50000 | writer DIR 10 0, input ends at once"
      seq 1 50000 | env LD_PRELOAD="$TOOLS/libpreload.so" PRELOAD_COUNTS="$WORK/burst.counts" \
        "$BIN" "$WORK/burst" 10 0 2>>"$WORK/stderr"
      echo "   at exit after $(since "$START") s: $(ls "$WORK/burst" | grep -c '\.log$') .log," \
        "$(ls "$WORK/burst" | grep -c '\.gz$') .gz, $(du -sk "$WORK/burst" | cut -f1) KiB on disk"
      cpu=$(grep -o 'thread_cpu [0-9.]*' "$WORK/burst.counts" | awk '{print $2}')
      echo "   main thread CPU $cpu s: $(calc "$cpu / 50000 * 1e6" 1) us per rotation" ;;
    burst-held) held burst-held 0 0 50001 seq 1 50000 ;;
    *) die "unknown run $run" ;;
  esac
done
echo "messages on standard error: $(wc -l <"$WORK/stderr")"
