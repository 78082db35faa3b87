#!/usr/bin/env bash
# The example systemd units in docs/examples: systemd-analyze accepts them
# (the daily timer and its service too),
# and the writer runs the way zarvo-accesslogwriter.service starts it:
# standard input the socket unit's FIFO as systemd opens it (read-write,
# non-blocking), the unit's umask and arguments, its reload and kill
# signals. With "syscalls", the run is traced and every system call the
# writer makes must pass the unit's SystemCallFilter.
# Usage: service_example_test.sh SOURCE_DIR WRITER [syscalls]
source "$(dirname "$0")/lib.sh"
source_dir=$1
writer=$(readlink -f "$2")
mode=${3:-run}
examples=$source_dir/docs/examples
unit=$examples/zarvo-accesslogwriter.service
need systemd-analyze perl

# setting NAME: the value of NAME= in the writer's unit (one line each).
setting() { sed -n "s/^$1=//p" "$unit"; }

exec_start=($(setting ExecStart))
# The package installs the binary there (CPACK_PACKAGING_INSTALL_PREFIX /usr).
[ "${exec_start[0]}" = /usr/bin/zarvo-accesslogwriter ] ||
  fail "ExecStart runs ${exec_start[0]}, not the packaged /usr/bin/zarvo-accesslogwriter"
[ ${#exec_start[@]} -eq 4 ] || fail "ExecStart does not pass three arguments"
[ "$(setting StandardInput)" = "fd:$(sed -n 's/^FileDescriptorName=//p' \
    "$examples/zarvo-accesslogwriter.socket")" ] || fail "StandardInput does not name the FIFO's descriptor"

if [ "$mode" = run ]; then
  # Verified with the programs this machine has: ours from the build tree,
  # and a stand-in for the proxy. The Documentation= page is looked up too.
  mkdir -p "$scratch/units" "$scratch/man/man1"
  cp "$source_dir/docs/zarvo-accesslogwriter.1" "$scratch/man/man1/"
  for f in "$examples"/*.service "$examples"/*.socket "$examples"/*.timer; do
    sed -e "s|/usr/bin/zarvo-accesslogwriter|$writer|; s|/usr/local/bin/http-proxy|/bin/true|" \
      "$f" >"$scratch/units/$(basename "$f")"
  done
  (cd "$scratch/units" && MANPATH=$scratch/man SYSTEMD_LOG_COLOR=0 \
     systemd-analyze verify ./*.socket ./*.service ./*.timer) >"$scratch/verify.log" 2>&1 ||
    { cat "$scratch/verify.log" >&2; fail "systemd-analyze verify rejects the units"; }
  [ ! -s "$scratch/verify.log" ] || { cat "$scratch/verify.log" >&2; fail "systemd-analyze verify warns"; }
  tracer=()
else
  need strace
  strace -f -qq -o /dev/null true 2>/dev/null || skip "strace cannot trace processes here"
  tracer=(strace -f -qq -o "$scratch/trace")
fi

umask_value=$(setting UMask)
reload_signal=$(setting ExecReload | sed -n 's/^.*kill -\([A-Z]*\) \$MAINPID$/\1/p')
kill_signal=$(setting KillSignal)
[ -n "$umask_value" ] && [ -n "$reload_signal" ] && [ -n "$kill_signal" ] ||
  fail "UMask, ExecReload (kill -SIG \$MAINPID) or KillSignal missing"

logs=$scratch/logs
fifo=$scratch/access.fifo
mkdir "$logs" && mkfifo "$fifo"
# systemd opens a ListenFIFO read-write and non-blocking; the writer gets
# that descriptor as standard input and so never sees an end of input.
(umask "$umask_value" && exec perl -MFcntl -e '
   sysopen(my $fifo, shift, O_RDWR | O_NONBLOCK) or die "fifo: $!";
   open(STDIN, "<&", $fifo) or die "stdin: $!";
   close $fifo;
   exec { $ARGV[0] } @ARGV or die "exec: $!"' \
   "$fifo" "${tracer[@]}" "$writer" "$logs" "${exec_start[2]}" "${exec_start[3]}") &
pid=$!
started+=("$pid")
# Under strace the writer is strace's child; signals go to the writer.
writer_pid=$pid
# strace may start short-lived probes of its own first: the writer is the
# child that runs our binary.
traced_writer() {
  local child
  for child in $(cat /proc/"$pid"/task/*/children 2>/dev/null); do
    [ "$(readlink "/proc/$child/exe" 2>/dev/null)" = "$writer" ] || continue
    writer_pid=$child
    return 0
  done
  return 1
}
if [ "$mode" = syscalls ]; then
  wait_for "the traced writer" traced_writer
  started+=("$writer_pid")
fi

# The input lines stored so far, in file order, header lines left out; a
# finished file may be a .log or already its .gz.
records() {
  local f
  for f in $(ls -v "$logs" | grep '^zarvo-access-[0-9]'); do
    zcat -f "$logs/$f" 2>/dev/null | tail -n +3
  done | sed -n 's/.*\[Originator@8461 sub=Default\] //p'
}
holds() { [ "$(records)" = "$1" ]; }

printf 'GET /a HTTP/1.1 200\n' >"$fifo"
wait_for "the first record" holds 'GET /a HTTP/1.1 200'
kill -s "$reload_signal" "$writer_pid"
# A function, so that the link is read again on every try.
links_to() { [ "$(readlink "$logs/zarvo-access.log")" = "$1" ]; }
wait_for "the reload to start file 2" links_to "$logs/zarvo-access-2.log"
printf 'GET /b HTTP/1.1 404\n' >"$fifo"
wait_for "the second record" holds $'GET /a HTTP/1.1 200\nGET /b HTTP/1.1 404'
kill -s "${kill_signal#SIG}" "$writer_pid"
wait_exit "$pid"
[ "$exit_status" -eq 0 ] || fail "the writer ended with status $exit_status on $kill_signal"

mode_of_file=$(stat -c %a "$logs/zarvo-access-2.log")
expected_mode=$(printf '%o' $((0666 & ~8#$umask_value)))
[ "$mode_of_file" = "$expected_mode" ] ||
  fail "log file mode $mode_of_file under UMask=$umask_value, expected $expected_mode"

if [ "$mode" = syscalls ]; then
  filter=$(setting SystemCallFilter)
  # expand NAME: a syscall, or every syscall of a @group, recursively.
  expand() {
    if [[ $1 == @* ]]; then
      local member
      for member in $(systemd-analyze syscall-filter "$1" | sed -e 's/#.*//' | awk 'NR > 1 && NF { print $1 }'); do
        expand "$member"
      done
    else
      echo "$1"
    fi
  }
  allowed=$(for group in $filter; do expand "$group"; done | sort -u)
  used=$(awk '{ call = $2; sub(/\(.*/, "", call); print call }' "$scratch/trace" |
         grep -E '^[a-z_0-9]+$' | sort -u)
  outside=$(comm -23 <(echo "$used") <(echo "$allowed"))
  [ -z "$outside" ] || fail "system calls outside SystemCallFilter=$filter: $outside"
  echo "ok: $(echo "$used" | wc -l) system calls, all inside SystemCallFilter=$filter"
else
  echo "ok: units verify; the writer runs on the FIFO, reloads and stops as the unit says"
fi
