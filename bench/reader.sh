#!/usr/bin/env bash
# bash bench/run.sh reader [MEGABYTES]   (default 200)
# zarvo-accesslogcat against zcat over the same archives, --raw against
# zcat | sed stripping the prefix, -o json, --since passing over whole files
# (best of three, into /dev/null; --raw is checked against the input byte for
# byte), follow latency at two MAXFILESIZE, and a follower's CPU while the
# writer is quiet.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
megabytes=${1:-200}
build_tools
make_work reader $((megabytes * 1500000))
# Stored as the writer stores it, 8 MiB files, every one archived as the
# archive thread does it (gzip -9, no name, no time).
"$TOOLS/gen_access_log" $((megabytes * 1000000)) >"$WORK/input"
mkdir "$WORK/d"
"$WRITER" "$WORK/d" 100000 "$ROTATE_SIZE" <"$WORK/input"
for f in "$WORK"/d/zarvo-access-*.log; do rm -f "$f.gz"; gzip -9 -n "$f"; done
archives=$(ls -v "$WORK"/d/zarvo-access-*.log.gz | tr '\n' ' ')
log "$(wc -w <<<"$archives") archives, $(du -sm "$WORK/d" | cut -f1) MB, from $megabytes MB of input"
best() {
  local best=999999 t
  for _ in 1 2 3; do
    t=$( { /usr/bin/time -f %e bash -c "$1" >/dev/null; } 2>&1 | tail -1)
    best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (b < a) ? b : a }')
  done
  echo "$best"
}
z=$(best "zcat $archives")
r=$(best "'$READER' '$WORK/d'")
zs=$(best "zcat $archives | sed 's/^.\{24\} info zarvo\[[0-9]*\] \[Originator@8461 sub=Default\] //'")
rr=$(best "'$READER' --raw '$WORK/d'")
rj=$(best "'$READER' -o json '$WORK/d'")
# --since as a shipper asks for the last minute: the input was stored in
# seconds, so the newest file's opening time stands for "a minute ago".
since=$( (zcat "$(ls -v "$WORK"/d/zarvo-access-*.log.gz | tail -1)" || true) | head -c 23)
rs=$(best "'$READER' --raw --since=$since '$WORK/d'")
"$READER" --raw "$WORK/d" | cmp -s - "$WORK/input" || die "--raw does not give the input back"
echo "| job | time |"
echo "|---|---|"
echo "| \`zcat\` over the archives in number order | $z s |"
echo "| \`zarvo-accesslogcat DIRECTORY\` | $r s ($(calc "$r / $z")× zcat) |"
echo "| \`zcat … \\| sed\` stripping the prefix | $zs s |"
echo "| \`zarvo-accesslogcat --raw DIRECTORY\` | $rr s ($(calc "$rr / $zs")×) |"
echo "| \`zarvo-accesslogcat -o json DIRECTORY\` | $rj s ($(calc "$rj / $z")× zcat) |"
echo "| \`zarvo-accesslogcat --raw --since=<newest file's opening time>\` | $rs s |"
echo
echo "| MAXFILESIZE | follow latency, 2000 lines |"
echo "|---|---|"
for size in 1000000000 1000; do
  rm -rf "$WORK/f" && mkdir "$WORK/f"
  echo "| $size | $("$TOOLS/follow_latency" "$WRITER" "$READER" "$WORK/f" "$size" 2000) |"
done

# A follower's CPU while the writer waits on quiet input.
mkdir "$WORK/q" && mkfifo "$WORK/q.fifo"
"$WRITER" "$WORK/q" 10 1000000 <"$WORK/q.fifo" &
writer=$! && STARTED+=("$writer")
exec 3>"$WORK/q.fifo"
echo "one line" >&3
"$READER" -f "$WORK/q" >/dev/null &
reader=$! && STARTED+=("$reader")
sleep 1
ticks() { awk '{print $14 + $15}' "/proc/$reader/stat"; }
switches() { awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$reader/status"; }
t0=$(ticks) s0=$(switches)
sleep 10
echo
echo "Quiet follow: $(($(ticks) - t0)) clock ticks of CPU and $(($(switches) - s0)) voluntary context switches in 10 s."
kill "$reader" && exec 3>&- && wait "$writer"
