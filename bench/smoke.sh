#!/usr/bin/env bash
# The benchmark in seconds, for CI: a 2 MB input, one round, rotation at
# 512 KiB so that every contender rotates, the correctness checks, no
# figures and no thresholds. Runs the peers that are installed and skips the
# others (installing is run.sh's job); fails only when a tool of ours fails or
# our writer's output does not give the input back. Uses the binaries in
# BUILD_DIR (default build/) as they are.
set -euo pipefail
exec bash "$(dirname "${BASH_SOURCE[0]}")/run.sh" --size 2000000 --runs 1 --rotate 524288 \
  --no-build --no-install --no-figures "$@"
