#!/usr/bin/env bash
# Installs the dependencies, builds the writer, feeds it a generated access
# log with small files (so that it rotates and archives), and shows the result.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zarvo-accesslogwriter >/dev/null
rm -rf demo && mkdir demo
# Keep 4 files of about 64 KiB; the pause before the input closes lets the
# archive thread finish the files it was handed.
{ bash scripts/sample-access-log.sh 3000; sleep 2; } | build/app/zarvo-accesslogwriter demo 4 65536
echo "== demo/"
ls -lv demo
echo "== first lines of demo/zarvo-access.log"
head -c 600 demo/zarvo-access.log; echo
echo "== lines in the archives, and in the current file"
for f in demo/*.gz; do printf '%s: %s lines\n' "$f" "$(zcat "$f" | wc -l)"; done
printf 'demo/zarvo-access.log: %s lines\n' "$(wc -l < demo/zarvo-access.log)"
