#!/usr/bin/env bash
# A real client: `tail -n +1 -F DIRECTORY/zarvo-access.log` beside the writer
# while it rotates.
#
# What tail does at a switch: GNU tail polls a name that is a symbolic link
# (inotify cannot watch where a link points). It keeps reading the file it
# has open to that file's end, and looks the name up again only once that
# file has not changed for --max-unchanged-stats polls, -s seconds apart;
# then it reads the new file from its first byte. So it never loses part of
# a file, but a file created and finished between two look-ups is skipped
# whole. Hence two runs:
#   1. files live far longer than tail's look-up delay: every record exactly
#      once, every file whole and in order;
#   2. files live shorter: tail prints only whole files in order, and skips
#      the others whole (printed below, with their numbers).
# Both check that the archives in order plus the current file hold every
# record once. The header lines of each file appear in tail's output too;
# they are where one file ends and the next begins.
# Usage: tail_follow_test.sh WRITER
source "$(dirname "$0")/lib.sh"
writer=$1
need tail zcat perl

padding=$(printf 'x%.0s' {1..60})

# follow NAME MAXFILESIZE PAUSE COUNT TAIL_OPTIONS...: runs the writer on
# $scratch/NAME with tail beside it, feeds COUNT lines PAUSE seconds apart,
# ends the input once every finished file is archived, then waits for tail
# to reach the end of the current file.
follow() {
  local dir=$scratch/$1 size=$2 pause=$3 count=$4 i
  shift 4
  mkdir "$dir" && mkfifo "$dir.in"
  "$writer" "$dir" 100000 "$size" <"$dir.in" &
  local writer_pid=$!
  started+=("$writer_pid")
  exec 3>"$dir.in"
  wait_for "the link" test -L "$dir/zarvo-access.log"
  # Without the FIFO's write end, or the writer would never see its input end.
  tail -n +1 "$@" -F "$dir/zarvo-access.log" >"$dir.tail" 2>"$dir.tail-err" 3>&- &
  local tail_pid=$!
  started+=("$tail_pid")
  wait_for "tail to print the first header" grep -q 'Section for' "$dir.tail"
  for ((i = 1; i <= count; i++)); do
    printf 'GET /record/%05d HTTP/1.1 200 %s\n' "$i" "$padding" >&3
    sleep "$pause"
  done
  wait_for "the archive thread" all_archived "$dir"
  exec 3>&-
  wait_exit "$writer_pid"
  [ "$exit_status" -eq 0 ] || fail "$1: writer exited with status $exit_status"
  wait_for "tail to reach the end of the current file" ends_with_current "$dir"
  kill "$tail_pid"
  wait "$tail_pid" 2>/dev/null || true
}

numbers() { ls "$1" | sed -n 's/^zarvo-access-\([0-9]*\)\.log\(\.gz\)\{0,1\}$/\1/p' | sort -n -u; }
# The current file's name (the link holds the full path: DIRECTORY is absolute).
current() { basename "$(readlink "$1/zarvo-access.log")"; }

# Every file but the current one is an archive, and no .log is left over.
all_archived() {
  local n now
  now=$(current "$1")
  for n in $(numbers "$1"); do
    [ "zarvo-access-$n.log" = "$now" ] && continue
    [ -f "$1/zarvo-access-$n.log.gz" ] && [ ! -e "$1/zarvo-access-$n.log" ] || return 1
  done
}

ends_with_current() {
  local file size
  file=$1/$(current "$1")
  size=$(stat -c %s "$file")
  [ "$(stat -c %s "$1.tail")" -ge "$size" ] && tail -c "$size" "$1.tail" | cmp -s - "$file"
}

# check NAME COUNT MAY_SKIP: compares tail's output and the directory with
# the COUNT records fed in.
check() {
  local dir=$scratch/$1 n
  for n in $(numbers "$dir"); do
    if [ -f "$dir/zarvo-access-$n.log.gz" ]; then zcat "$dir/zarvo-access-$n.log.gz"; else cat "$dir/zarvo-access-$n.log"; fi >"$dir.file-$n"
  done
  perl - "$1" "$2" "$3" "$dir.tail" $(for n in $(numbers "$dir"); do echo "$dir.file-$n"; done) <<'PERL'
use strict;
use warnings;
my ($name, $count, $may_skip, $tail_file, @files) = @ARGV;
sub slurp { open my $in, '<', $_[0] or die "$_[0]: $!"; local $/; return scalar <$in>; }
sub number { $_[0] =~ /-(\d+)$/; return $1; }
my $header = qr/^[^\n]* Section for Quvane Lanternharbor, pid=/m;
# Cut a text into files at each first header line.
sub split_files {
  my ($text) = @_;
  my @starts;
  push @starts, $-[0] while $text =~ /$header/g;
  die "FAIL: $name: text before the first header\n" if !@starts || $starts[0] != 0;
  push @starts, length $text;
  return map { substr($text, $starts[$_], $starts[$_ + 1] - $starts[$_]) } 0 .. $#starts - 1;
}

# The directory: archives in order plus the current file hold every record once.
my @contents = map { slurp($_) } @files;
my @records;
for my $content (@contents) {
  my @lines = split /^/m, $content;
  die "FAIL: $name: a file holds more than one header\n" if grep { /$header/ } @lines[1 .. $#lines];
  push @records, map { m/\[Originator\@8461 sub=Default\] (GET \/record\/\d+) / ? $1 : () } @lines[2 .. $#lines];
}
my @expected = map { sprintf 'GET /record/%05d', $_ } 1 .. $count;
die "FAIL: $name: the files hold " . scalar(@records) . " records, not the $count fed in, in order\n"
    unless "@records" eq "@expected";

# tail: whole files, in order, each at most once.
my @seen = split_files(slurp($tail_file));
my ($next, @skipped) = (0);
for my $piece (@seen) {
  my $at = $next;
  $at++ while $at < @contents && $contents[$at] ne $piece;
  die "FAIL: $name: tail printed something that is not a whole file, or out of order:\n"
      . substr($piece, 0, 300) . "\n" if $at == @contents;
  push @skipped, map { number($files[$_]) } $next .. $at - 1;
  $next = $at + 1;
}
die "FAIL: $name: tail did not reach the last file\n" if $next != @contents;
printf "%s: %d files, tail printed %d of them whole%s\n", $name, scalar @files, scalar @seen,
    @skipped ? "; skipped whole (finished before tail looked the name up again): @skipped" : '';
die "FAIL: $name: tail skipped files although each lived far longer than its look-up delay\n"
    if @skipped && !$may_skip;
die "FAIL: $name: files lived shorter than tail's look-up delay, yet none was skipped;"
    . " the explanation above no longer holds\n" if !@skipped && $may_skip;
PERL
}

# 1. About 30 records of 10 ms per file: each file lives some 300 ms; tail
#    looks the name up after one unchanged poll of 50 ms.
follow slow 6000 0.01 200 -s 0.05 --max-unchanged-stats=1
check slow 200 0
# 2. One record per file (MAXFILESIZE 0), 20 ms apart; tail looks the name
#    up only after 5 unchanged polls of 100 ms.
follow fast 0 0.02 60 -s 0.1 --max-unchanged-stats=5
check fast 60 1
echo "ok: tail -F prints whole files in order; it skips only files shorter-lived than its look-up delay"
