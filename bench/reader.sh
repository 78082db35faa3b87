#!/usr/bin/env bash
# The companion reader's figures (bench/NOTES.md keeps the last ones):
# replay against zcat over the same archives, --raw against zcat | sed
# stripping the prefix, -o json, --since skipping whole files, follow
# latency, and CPU while the writer is quiet.
#   bash bench/reader.sh [MEGABYTES]     (default 200)
source "$(dirname "$0")/lib.sh"
megabytes=${1:-200}
cmake --build "$BUILD_DIR" -j"$(nproc)" --target zarvo-accesslogwriter zarvo-accesslogcat \
  gen_access_log follow_latency >/dev/null || die "build failed"
WRITER=$BUILD_DIR/app/zarvo-accesslogwriter
READER=$BUILD_DIR/reader/zarvo-accesslogcat
GEN=$BUILD_DIR/bench/gen_access_log
work=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-reader-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Stored as the writer stores it, 8 MiB files, then every file archived as
# the archive thread does it (gzip -9, no name, no time).
"$GEN" $((megabytes * 1000000)) > "$work/input"
mkdir "$work/d"
"$WRITER" "$work/d" 100000 "$ROTATE_SIZE" < "$work/input"
for f in "$work"/d/zarvo-access-*.log; do [[ -f $f.gz ]] && rm -f "$f.gz"; gzip -9 -n "$f"; done
mapfile -t archives < <(ls -v "$work"/d/zarvo-access-*.log.gz)
log "${#archives[@]} archives, $(du -sm "$work/d" | cut -f1) MB, from $megabytes MB of input"

best() {  # best of 3 wall-clock seconds of a shell command
  local best=999999 t
  for _ in 1 2 3; do
    t=$( { /usr/bin/time -f %e bash -c "$1" >/dev/null; } 2>&1 | tail -1)
    best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
  done
  echo "$best"
}
prefix_re='^.\{24\} info zarvo\[[0-9]*\] \[Originator@8461 sub=Default\] '
z=$(best "zcat ${archives[*]} > /dev/null")
r=$(best "'$READER' '$work/d' > /dev/null")
zs=$(best "zcat ${archives[*]} | sed 's/$prefix_re//' > /dev/null")
rr=$(best "'$READER' --raw '$work/d' > /dev/null")
printf 'replay:        zcat %6.2f s   zarvo-accesslogcat       %6.2f s\n' "$z" "$r"
printf 'raw:    zcat | sed %6.2f s   zarvo-accesslogcat --raw %6.2f s\n' "$zs" "$rr"
rj=$(best "'$READER' -o json '$work/d' > /dev/null")
printf 'json:          zcat %6.2f s   zarvo-accesslogcat -o json %4.2f s\n' "$z" "$rj"
"$READER" --raw "$work/d" | cmp -s - "$work/input" || die "--raw does not give the input back"
# --since as a shipper asks for the last minute: here the input was stored in
# seconds, so the newest file's opening time stands for "a minute ago".
since=$(zcat "${archives[-1]}" | head -c 23)
rs=$(best "'$READER' --raw --since=$since '$work/d' > /dev/null")
printf 'since:         %6.2f s for the newest file of %d MB stored\n' "$rs" "$(du -sm "$work/d" | cut -f1)"

for size in 1000000000 1000; do
  rm -rf "$work/f" && mkdir "$work/f"
  "$BUILD_DIR/bench/follow_latency" "$WRITER" "$READER" "$work/f" "$size" 2000
done

# CPU of a follower while the writer waits on quiet input.
rm -rf "$work/q" && mkdir "$work/q" && mkfifo "$work/q.fifo"
"$WRITER" "$work/q" 10 1000000 < "$work/q.fifo" & writer=$!
exec 3> "$work/q.fifo"
echo "one line" >&3
"$READER" -f "$work/q" > /dev/null & reader=$!
sleep 1
ticks() { awk '{ print $14 + $15 }' "/proc/$reader/stat"; }
switches() { awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$reader/status"; }
t0=$(ticks) s0=$(switches)
sleep 10
t1=$(ticks) s1=$(switches)
kill "$reader"; exec 3>&-; wait "$writer"
printf 'quiet follow:  %d clock ticks of CPU and %d wake-ups in 10 s\n' $((t1 - t0)) $((s1 - s0))
