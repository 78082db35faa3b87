#!/usr/bin/env bash
# Builds the Debian package into build-deb/ and prints its path. Install it
# with `apt-get install ./build-deb/zarvo-accesslogwriter_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# A build of its own without the tests: a package needs none of them.
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-deb -j"$(nproc)" >/dev/null
(cd build-deb && cpack -G DEB >cpack.log 2>&1) || { cat build-deb/cpack.log >&2; exit 1; }
ls "$PWD"/build-deb/zarvo-accesslogwriter_*.deb
