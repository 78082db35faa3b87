#!/usr/bin/env bash
# Builds the Debian package from the build tree, checks what it installs and
# what it depends on, unpacks it into a scratch root (the machine's own
# package database is not touched) and runs the unpacked binary once.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
build=$1
source_dir=$2
need cpack dpkg-deb dpkg-shlibdeps dpkg-query file readelf ldconfig man gzip zcat

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack did not build the package"; }
debs=("$scratch"/out/zarvo-accesslogwriter_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# What an operator gets, and nothing else (no test or benchmark programs).
expected_files="./usr/bin/zarvo-accesslogcat
./usr/bin/zarvo-accesslogwriter
./usr/share/doc/zarvo-accesslogwriter/README.md
./usr/share/doc/zarvo-accesslogwriter/changelog.gz
./usr/share/doc/zarvo-accesslogwriter/copyright
./usr/share/doc/zarvo-accesslogwriter/examples/http-proxy.service
./usr/share/doc/zarvo-accesslogwriter/examples/zarvo-accesslogwriter-rotate.service
./usr/share/doc/zarvo-accesslogwriter/examples/zarvo-accesslogwriter-rotate.timer
./usr/share/doc/zarvo-accesslogwriter/examples/zarvo-accesslogwriter.service
./usr/share/doc/zarvo-accesslogwriter/examples/zarvo-accesslogwriter.socket
./usr/share/doc/zarvo-accesslogwriter/examples/zarvo-clickhouse.sql
./usr/share/doc/zarvo-accesslogwriter/examples/zarvo-shipper.conf
./usr/share/man/man1/zarvo-accesslogcat.1.gz
./usr/share/man/man1/zarvo-accesslogwriter.1.gz"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
[ "$files" = "$expected_files" ] ||
  fail "package files differ from the expected list:
$(diff <(echo "$expected_files") <(echo "$files") || true)"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
binary=$root/usr/bin/zarvo-accesslogwriter
reader=$root/usr/bin/zarvo-accesslogcat

# The changelog's top entry is this version; the binary says so too.
doc=$root/usr/share/doc/zarvo-accesslogwriter
version=$(dpkg-deb -f "$deb" Version)
zcat "$doc/changelog.gz" | head -1 | grep -q "^zarvo-accesslogwriter ($version) " ||
  fail "changelog.gz does not start with version $version"
grep -q '^Copyright: ' "$doc/copyright" || fail "copyright names no copyright holder"
grep -q '^License: Apache-2.0$' "$doc/copyright" || fail "copyright does not say Apache-2.0"
# Read whole first: grep -q leaving early would end dpkg-deb by SIGPIPE.
[[ $(dpkg-deb -I "$deb") == *"Apache License, Version 2.0"* ]] || fail "the description names no licence"
"$binary" --version | grep -q "^zarvo-accesslogwriter $version " || fail "--version does not say $version"

# Every shared library the binary loads directly must come from a package
# named in Depends, or apt-get install on a fresh machine leaves it broken.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
depends_names=" $(echo "$depends" | sed -E 's/\([^)]*\)//g; s/[,|]/ /g') "
for lib in $(readelf -d "$binary" "$reader" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u); do
  # awk reads to the end: leaving early would kill ldconfig with SIGPIPE,
  # which pipefail turns into a silent exit of the whole test.
  path=$(ldconfig -p | awk -v lib="$lib" '$1 == lib && !found { print $NF; found = 1 }')
  [ -n "$path" ] || fail "$lib, needed by the binary, is not known to ldconfig"
  owner=$(dpkg-query -S "$(readlink -f "$path")" 2>/dev/null ||
          dpkg-query -S "$path" 2>/dev/null) || fail "no package owns $path ($lib)"
  package=${owner%%:*}
  [[ $depends_names == *" $package "* ]] || fail "$lib comes from $package, which is not in Depends"
done
# gzip archives are written through Boost.Iostreams by zlib.
[[ $depends_names == *" zlib1g "* ]] || fail "zlib1g is not in Depends"
twice=$(echo $depends_names | tr ' ' '\n' | sort | uniq -d)
[ -z "$twice" ] || fail "Depends lists $twice more than once"

# apt resolves the dependencies as it would for `apt-get install ./….deb`
# (simulated: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get -s -o Debug::NoLocking=1 install "$deb" >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log" >&2; fail "apt-get cannot install the package"; }
fi

# The unpacked binary writes, rotates and archives (the archive needs zlib
# through Boost.Iostreams at run time).
logs=$scratch/logs
mkdir "$logs" && mkfifo "$scratch/in"
"$binary" "$logs" 10 0 <"$scratch/in" &
pid=$!
started+=("$pid")
exec 3>"$scratch/in"
printf 'GET /one HTTP/1.1 200\nGET /two HTTP/1.1 404\n' >&3
# MAXFILESIZE 0: one record per file, so files 1 and 2 are finished.
wait_for "two archives" test -s "$logs/zarvo-access-2.log.gz" -a ! -e "$logs/zarvo-access-2.log"
exec 3>&-
wait_exit "$pid"
[ "$exit_status" -eq 0 ] || fail "the installed binary exited with status $exit_status"
for n in 1 2; do gzip -t "$logs/zarvo-access-$n.log.gz" || fail "archive $n is not valid gzip"; done
records=$(zcat "$logs"/zarvo-access-1.log.gz "$logs"/zarvo-access-2.log.gz |
          sed -n 's/.* \[Originator@8461 sub=Default\] GET /GET /p')
[ "$records" = $'GET /one HTTP/1.1 200\nGET /two HTTP/1.1 404' ] ||
  fail "archives hold unexpected records: $records"
[ "$(readlink "$logs/zarvo-access.log")" = "$logs/zarvo-access-3.log" ] ||
  fail "the link does not name the current file"
# The unpacked reader gives the input back from the archives.
[ "$("$reader" --raw "$logs")" = $'GET /one HTTP/1.1 200\nGET /two HTTP/1.1 404' ] ||
  fail "the installed reader does not give the input back"

# `man zarvo-accesslogwriter` finds the installed page, and it is our page.
page=$(MANPATH=$root/usr/share/man man -w zarvo-accesslogwriter) ||
  fail "man does not find the page under the unpacked root"
[ "$page" = "$root/usr/share/man/man1/zarvo-accesslogwriter.1.gz" ] || fail "man found $page"
zcat "$page" | cmp -s - "$source_dir/docs/zarvo-accesslogwriter.1" ||
  fail "the packaged page differs from docs/zarvo-accesslogwriter.1"
echo "ok: package installs into a scratch root, runs, and its page is found"
