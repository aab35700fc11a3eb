#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packaging files agree with each other and with the build: the newest release in the AppStream
# metainfo is the project's version, the desktop entry starts the installed viewer with the icon the
# package carries, and every built program the metainfo names has a manual page that groff renders
# without a warning.
# Usage: metadata_test.sh SOURCE_DIR VERSION [BUILD_DIR]   (no BUILD_DIR: a build without pages)
set -uo pipefail
source_dir="$1" version="$2" build_dir="${3:-}"
id=org.vazorez.viewer
metainfo="$source_dir/packaging/$id.metainfo.xml"
desktop="$source_dir/packaging/$id.desktop"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

newest=$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "newest release in the metainfo is '$newest', the project is $version"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
  || fail "the metainfo does not launch $id.desktop"
grep -qx "Exec=vazorez-gui" "$desktop" || fail "the desktop entry does not start vazorez-gui"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
[ -f "$source_dir/packaging/$id.png" ] || fail "no icon $id.png"

if [ -n "$build_dir" ]; then
  pages=0
  for program in $(grep -o '<binary>[^<]*</binary>' "$metainfo" | sed 's/<[^>]*>//g'); do
    [ -x "$build_dir/bin/$program" ] || continue
    page="$build_dir/man/$program.1.gz"
    [ -f "$page" ] || page="$build_dir/man/$program.1"
    if [ ! -f "$page" ]; then fail "no manual page for $program"; continue; fi
    text=$(zcat -f "$page")
    grep -q "^$program \\\\- ." <<<"$text" || fail "$program.1 has no NAME line"
    grep -q "^\\.TH .*$version" <<<"$text" || fail "$program.1 does not carry version $version"
    warnings=$(groff -man -Tutf8 -ww -z <<<"$text" 2>&1)
    [ -z "$warnings" ] || fail "$program.1: $warnings"
    pages=$((pages + 1))
  done
  [ $pages -gt 0 ] || fail "no manual pages in $build_dir/man"
  echo "$pages manual pages checked"
fi
[ $failures -eq 0 ] && echo "PASS" || { echo "$failures failed"; exit 1; }
