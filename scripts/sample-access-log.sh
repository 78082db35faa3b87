#!/usr/bin/env bash
# Prints N access-log lines (default 2000) shaped like the proxy's, the same
# every time.
set -euo pipefail
count=${1:-2000}
awk -v n="$count" 'BEGIN {
  srand(7);
  split("GET GET GET POST PUT DELETE HEAD", methods, " ");
  split("200 200 200 200 201 204 301 304 400 404 500 503", codes, " ");
  split("/api/v1/users /api/v1/orders /static/app.js /healthz /login /search", paths, " ");
  for (i = 0; i < n; i++) {
    ms = i * 37;
    printf "[2026-12-09T07:%02d:%02d.%03dZ] %s %s?id=%d HTTP/1.1 %s via_upstream - %d %d %d %d 10.0.%d.%d:%d 10.1.0.1:443 10.2.0.7:%d 10.3.%d.%d:8080\n",
      int(ms / 60000) % 60, int(ms / 1000) % 60, ms % 1000,
      methods[1 + int(rand() * 7)], paths[1 + int(rand() * 6)], int(rand() * 100000),
      codes[1 + int(rand() * 12)], int(rand() * 4000), int(rand() * 90000),
      int(rand() * 900), int(rand() * 40), int(rand() * 255), int(rand() * 255),
      1024 + int(rand() * 60000), 1024 + int(rand() * 60000), int(rand() * 4), int(rand() * 255);
  }
}'
