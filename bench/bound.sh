#!/usr/bin/env bash
# The directory's size during rotation storms on a loaded machine: RUNS
# storms (MAXFILENUM 10, MAXFILESIZE 1000, 8000 lines a second for DURATION
# seconds) on a disk-backed directory, beside BUSY busy loops, the entries
# of DIRECTORY counted every 10 ms. Prints each run's peak and whether it
# stayed within MAXFILENUM + 2 (the current file, 9 finished ones, one
# archive temporary, the link).
# Usage: bench/run.sh bound [--runs N] [--duration S] [--busy K] [--writer PATH] [--dir TMP]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

RUNS=20
DURATION=5
BUSY=2
WORK=/var/tmp
WRITER_BIN=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --duration) DURATION=$2; shift 2 ;;
    --busy) BUSY=$2; shift 2 ;;
    --writer) WRITER_BIN=$2; shift 2 ;;
    --dir) WORK=$2; shift 2 ;;
    *) die "unknown argument $1" ;;
  esac
done
if [[ -z $WRITER_BIN ]]; then
  build_tools
  WRITER_BIN=$BUILD_DIR/app/zarvo-accesslogwriter
fi

scratch=$(mktemp -d "$WORK/zarvo-storm.XXXXXX")
busy=()
cleanup() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
for ((i = 0; i < BUSY; i++)); do
  yes >/dev/null &
  busy+=($!)
done

# storm DIR: feeds the writer for DURATION seconds while counting the
# entries of DIR every 10 ms; prints the peak.
storm() {
  perl -MTime::HiRes=time,sleep -e '
    my ($dir, $writer, $seconds) = @ARGV;
    open(my $in, "|-", $writer, $dir, "10", "1000") or die "writer: $!";
    my $old = select($in); $| = 1; select($old);
    my ($start, $n, $peak, $next) = (time, 0, 0, time);
    while (time - $start < $seconds) {
      print $in "GET /storm/$n/" . ("x" x 100) . " HTTP/1.1 200\n" for 1 .. 80;
      $n++;
      if (time >= $next) {
        opendir(my $d, $dir) or die "$dir: $!";
        my $count = grep { $_ ne "." && $_ ne ".." } readdir($d);
        closedir($d);
        $peak = $count if $count > $peak;
        $next += 0.01;
      }
      my $due = $start + $n / 100;
      sleep($due - time) if $due > time;
    }
    close($in);
    print "$peak\n";' "$1" "$WRITER_BIN" "$DURATION"
}

echo "writer $WRITER_BIN, work directory $WORK, $BUSY busy loops, load average $(cut -d' ' -f1 /proc/loadavg)"
bound=$((10 + 2)) within=0 peaks=()
for ((run = 1; run <= RUNS; run++)); do
  mkdir "$scratch/$run"
  peak=$(storm "$scratch/$run")
  peaks+=("$peak")
  ((peak <= bound)) && within=$((within + 1))
  rm -rf "${scratch:?}/$run"
done
echo "peaks: ${peaks[*]}"
echo "within $bound entries: $within of $RUNS runs"
