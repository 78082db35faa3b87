#!/usr/bin/env bash
# The benchmarks, one mode a run; bench/NOTES.md keeps the last figures.
#   bash bench/run.sh [bulk|proxy|overload|bound|reader|fleet] [--no-build] [--no-install] [OPTION...]
#   bulk      (default) a generated access log on stdin: our writer beside the
#             copy floor and the peer log tools, every output checked against
#             the input; then our own figures against their targets
#   proxy     behind nginx under wrk: CPU per million requests, our threads
#             apart, and latency from nginx's write to our file
#   overload  floods at 1.5 and 8 times what one archive thread compresses, crafted
#             lines, then rotation storms: finished files faster than one archive thread
#             compresses them
#   bound     the directory's entries counted every 10 ms during storms on a
#             disk-backed directory beside busy loops, against MAXFILENUM + 2
#   reader    zarvo-accesslogcat: replay, --raw, follow latency, quiet CPU
#   fleet     two proxy hosts shipping into one ClickHouse, with faults (bench/fleet.sh)
# Each mode's options are listed at the head of bench/MODE.sh. --no-build uses
# the binaries in BUILD_DIR (default build/) as they are; --no-install runs
# only what is installed (otherwise missing peers, nginx and wrk come from
# Debian's packages when root). BENCH_TMP overrides the work directory's base.
set -euo pipefail
mode=bulk
if (($#)) && [[ $1 != -* ]]; then mode=$1; shift; fi
case $mode in
  bulk | proxy | overload | bound | reader | fleet) ;;
  *) echo "usage: bash bench/run.sh [bulk|proxy|overload|bound|reader|fleet] [OPTION...]" >&2; exit 2 ;;
esac
script=$(dirname "${BASH_SOURCE[0]}")/$mode.sh
[[ -f $script ]] || { echo "bench: $mode: $script is missing; the end-to-end shipping run comes with that file" >&2; exit 1; }
args=()
export NO_BUILD=0 NO_INSTALL=0
for a; do
  case $a in --no-build) NO_BUILD=1 ;; --no-install) NO_INSTALL=1 ;; *) args+=("$a") ;; esac
done
exec bash "$script" "${args[@]}"
