#!/usr/bin/env bash
# The manual page formats without a single warning, carries the project's
# version, and its DIAGNOSTICS section shows every message the program can
# print, taken from the sources, and no message the program does not print.
# Both programs' pages are checked, each against its own sources.
# Usage: man_page_test.sh SOURCE_DIR VERSION
source "$(dirname "$0")/lib.sh"
source_dir=$1
version=$2
need man groff perl

# check_page PROGRAM SOURCE...: docs/PROGRAM.1 against the messages in SOURCE...
check_page() {
local program=$1
shift
local page=$source_dir/docs/$program.1

# man --warnings runs groff with -ww; any diagnostic fails the test.
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >/dev/null 2>"$scratch/man.err" ||
  fail "man cannot format the page: $(cat "$scratch/man.err")"
[ ! -s "$scratch/man.err" ] || fail "man --warnings: $(cat "$scratch/man.err")"
groff -ww -z -man "$page" 2>"$scratch/groff.err" || fail "groff failed: $(cat "$scratch/groff.err")"
[ ! -s "$scratch/groff.err" ] || fail "groff -ww: $(cat "$scratch/groff.err")"

grep -q "^\.TH .*\"${program//-/\\\\-} $version\"" "$page" ||
  fail ".TH does not name version $version"

# Plain text, one line per paragraph or tag: a long line length means no
# line breaks or hyphens inside a message.
groff -man -Tascii -P-cbou -rLL=2000n "$page" >"$scratch/page.txt" 2>/dev/null

perl - "$scratch/page.txt" "$@" <<'PERL' || exit 1
use strict;
use warnings;

# Every message is printed through one of four helpers in filestore/messages.h:
#   fatalLine(line)                 the line as it stands
#   informationLine(line)           an answer on standard output, not a message
#   printError(text, path, error)   text, path, "`: ", error
#   fatalError(text, path, error)   the same, then status 1
# A message is the list of its literal fragments in order.
my ($page_file, @sources) = @ARGV;
my $literal = qr/"((?:[^"\\]|\\.)*)"/;
my (@messages, @stray);

sub unescape { my $s = shift; $s =~ s/\\(.)/$1/g; return $s; }

# Splits an argument list at top-level commas, outside literals and parentheses.
sub split_arguments {
  my ($text) = @_;
  my @args;
  my ($depth, $current) = (0, '');
  while ($text =~ /\G($literal|[()]|,|[^"(),]+)/gc) {
    my $token = $1;
    if ($token eq '(') { $depth++ } elsif ($token eq ')') { $depth-- }
    if ($token eq ',' && $depth == 0) { push @args, $current; $current = ''; next }
    $current .= $token;
  }
  return (@args, $current);
}

sub fragments {
  my ($text) = @_;
  # Adjacent literals are one string, as in C++.
  1 while $text =~ s/$literal\s*$literal/"$1$2"/;
  my @found;
  push @found, unescape($1) while $text =~ /$literal/g;
  return @found;
}

for my $file (@sources) {
  open my $in, '<', $file or die "$file: $!";
  my $source = do { local $/; <$in> };
  close $in;
  $source =~ s{^\s*//.*$}{}mg;
  my @covered;
  while ($source =~ /\b(fatalLine|printMessage|informationLine|printError|fatalError)\s*\(((?:[^;"]|$literal)*)\)\s*;/g) {
    my ($helper, $arguments) = ($1, $2);
    push @covered, [$-[0], $+[0]];
    next if $helper eq 'informationLine';
    my @parts;
    if ($helper eq 'fatalLine' || $helper eq 'printMessage') {
      @parts = fragments($arguments);
    } else {
      my @args = split_arguments($arguments);
      next unless @args == 3;
      @parts = (fragments($args[0]), fragments($args[1]), '`: ', fragments($args[2]));
    }
    next unless grep { length } @parts;
    push @messages, { file => $file, parts => \@parts };
  }
  # Message-like text outside the helpers would escape this comparison.
  while ($source =~ /$literal/g) {
    my ($text, $at) = ($1, $-[0]);
    next unless $text =~ /^(Cannot |Usage:)|does not exist|is not a directory/;
    push @stray, "$file: \"$text\"" unless grep { $at >= $_->[0] && $at < $_->[1] } @covered;
  }
}
die "FAIL: message text printed other than through the message helpers:\n  "
    . join("\n  ", @stray) . "\n" if @stray;
die "FAIL: no messages found in the sources\n" unless @messages;

open my $pin, '<', $page_file or die "$page_file: $!";
my ($in_section, @diagnostics) = (0);
while (my $line = <$pin>) {
  if ($line =~ /^(\S.*)$/) { $in_section = $1 eq 'DIAGNOSTICS'; next }
  next unless $in_section;
  $line =~ s/\s+/ /g;
  push @diagnostics, $line;
}
die "FAIL: the page has no DIAGNOSTICS section\n" unless @diagnostics;

sub normal { my $s = shift; $s =~ s/\s+/ /g; return $s; }
# True when the fragments occur in the line in this order.
sub shows {
  my ($line, @parts) = @_;
  my $at = 0;
  for my $part (map { normal($_) } @parts) {
    my $found = index($line, $part, $at);
    return 0 if $found < 0;
    $at = $found + length $part;
  }
  return 1;
}

my $failed = 0;
for my $message (@messages) {
  next if grep { shows($_, @{ $message->{parts} }) } @diagnostics;
  print STDERR "FAIL: not in DIAGNOSTICS: ", join('…', @{ $message->{parts} }),
      "  ($message->{file})\n";
  $failed = 1;
}
# Each entry's tag is a message of the program's (tags sit at the section's
# indent; their descriptions are indented further).
for my $line (@diagnostics) {
  next unless $line =~ /^ (Usage:|Cannot |Directory |Records lost|Skipped|`)/;
  next if grep { shows($line, @{ $_->{parts} }) } @messages;
  print STDERR "FAIL: DIAGNOSTICS lists a message the program does not print:$line\n";
  $failed = 1;
}
exit 1 if $failed;
printf "ok: %d messages from the sources, all in the page\n", scalar @messages;
PERL
}

check_page zarvo-accesslogwriter "$source_dir"/app/*.cc "$source_dir"/filestore/*.cc
check_page zarvo-accesslogcat "$source_dir"/reader/*.cc "$source_dir"/filestore/scan_directory.cc
