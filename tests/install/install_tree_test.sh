#!/usr/bin/env bash
# `cmake --install` under a prefix of the operator's choosing: the binaries in
# bin/, the manual pages in share/man/man1/, README and example units in
# share/doc/zarvo-accesslogwriter/.
# Usage: install_tree_test.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
build=$1
source_dir=$2
need cmake zcat

prefix=$scratch/opt/zarvo
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }

binary=$prefix/bin/zarvo-accesslogwriter
for program in zarvo-accesslogwriter zarvo-accesslogcat; do
  [ -x "$prefix/bin/$program" ] || fail "no executable $prefix/bin/$program"
  page=$prefix/share/man/man1/$program.1.gz
  [ -f "$page" ] || fail "no manual page $page"
  zcat "$page" | cmp -s - "$source_dir/docs/$program.1" ||
    fail "the installed page is not docs/$program.1"
done
docs=$prefix/share/doc/zarvo-accesslogwriter
cmp -s "$docs/copyright" "$source_dir/docs/copyright" || fail "$docs/copyright missing or differs"
for f in README.md examples/zarvo-accesslogwriter.service \
         examples/zarvo-accesslogwriter.socket examples/zarvo-accesslogwriter-rotate.timer \
         examples/zarvo-accesslogwriter-rotate.service examples/http-proxy.service; do
  cmp -s "$docs/$f" "$source_dir/${f/#examples/docs/examples}" || fail "$docs/$f missing or differs"
done

# The installed binary runs: the usage line and status 1 without arguments.
status=0
message=$("$binary" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 1 ] || fail "installed binary without arguments: status $status"
[ "$message" = "Usage: zarvo-accesslogwriter DIRECTORY MAXFILENUM MAXFILESIZE" ] ||
  fail "installed binary without arguments printed: $message"
echo "ok: cmake --install puts binary, page and docs under $prefix"
