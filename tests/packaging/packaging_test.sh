#!/usr/bin/env bash
# Packaging checks: packaging_test.sh deb|docs|zip SOURCE_DIR BUILD_DIR
# Exits 77 (skipped) when a tool or the build tree that a check needs is missing.
set -euo pipefail
check=$1 src=$2 build=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null || { echo "skipped: no $1"; exit 77; }; }

case $check in
deb) # The .deb holds the program, manual page, completion and boot example, and the program runs.
  need dpkg-deb; need dpkg-shlibdeps
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail cpack; }
  deb=$(echo "$tmp"/out/hoister_*.deb)
  [ -f "$deb" ] || fail "no hoister_*.deb"
  dpkg-deb -c "$deb" >"$tmp/files"
  for f in usr/bin/hoister usr/share/man/man1/hoister.1.gz usr/share/bash-completion/completions/hoister \
    usr/share/doc/hoister/copyright usr/share/doc/hoister/changelog.gz \
    usr/share/doc/hoister/examples/hoister-hold.service etc/hoister/rules; do
    grep -q " \./$f\$" "$tmp/files" || fail "$f not in the package"
  done
  [ "$(dpkg-deb -f "$deb" Package Section)" = $'Package: hoister\nSection: utils' ] || fail "control fields"
  dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no computed dependency on libc6"
  dpkg-deb -I "$deb" conffiles | grep -qx /etc/hoister/rules || fail "/etc/hoister/rules is not a conffile"
  dpkg-deb -x "$deb" "$tmp/root"
  # The rules as shipped are comments only: a hold of them runs and waits.
  "$tmp/root/usr/bin/hoister" -v @"$tmp/root/etc/hoister/rules" >"$tmp/rules-run" 2>&1 || true
  grep -qx 'Rules: 0 from .*' "$tmp/rules-run" || fail "the shipped rules are not a valid, empty rules file"
  status=0; "$tmp/root/usr/bin/hoister" -h >"$tmp/usage" || status=$?
  [ "$status" -eq 0 ] || fail "hoister -h exited $status, not 0"
  grep -q 'Usage:' "$tmp/usage" || fail "no usage text"
  gzip -dc "$tmp/root/usr/share/man/man1/hoister.1.gz" | cmp -s - "$src/docs/hoister.1" || fail "stale manual page"
  if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 || { cat "$tmp/lintian"; fail "lintian"; }
    ! grep -E '^[EW]: ' "$tmp/lintian" || fail "lintian errors or warnings"
  else
    echo "note: no lintian; the package was not linted"
  fi
  ;;
docs) # The manual page renders cleanly; the completion parses and completes.
  need groff
  [ -z "$(groff -man -Tutf8 -ww "$src/docs/hoister.1" 2>&1 >/dev/null)" ] || fail "groff warnings"
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$src/docs/hoister.1" 2>/dev/null | grep -q 'EXIT STATUS' || fail "man -l"
  fi
  comp=$src/contrib/hoister.bash-completion
  bash -n "$comp" || fail "bash -n"
  set +eu  # completion functions run in an interactive shell, without -e or -u
  source "$comp"
  complete_words() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _hoister; }
  complete_words hoister -p
  [ "${COMPREPLY[*]}" = "-pl -pn -ph -pr" ] || fail "hoister -p: ${COMPREPLY[*]}"
  complete_words hoister -v -#$$
  [[ " ${COMPREPLY[*]} " == *" -#$$ "* ]] || fail "own process ID not offered after -#"
  complete_words hoister -pl make -p
  [ ${#COMPREPLY[@]} -eq 0 ] || fail "an argument of the target was completed as an option"
  touch "$tmp/rules-one"
  complete_words hoister -w60 "@$tmp/rules-o"
  [ "${COMPREPLY[*]}" = "@$tmp/rules-one" ] || fail "a file name after @: ${COMPREPLY[*]}"
  ;;
zip) # From the win32 tree, when there is one: the zip holds Hoister.exe and README.md.
  need unzip
  [ -f "$build/Hoister.exe" ] && [ -f "$build/CPackConfig.cmake" ] || { echo "skipped: no win32 build"; exit 77; }
  cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$tmp/out" >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail cpack; }
  need file
  unzip -q "$tmp"/out/Hoister-*-win32.zip -d "$tmp/zip"
  [ "$(find "$tmp/zip" -type f -printf '%f\n' | sort | paste -sd ' ')" = "Hoister.exe README.md" ] ||
    fail "the zip holds more or less than Hoister.exe and README.md"
  exe=$(echo "$tmp"/zip/*/Hoister.exe)
  # The i686 console product, stripped, and small (64 KB before the rules file and name targets).
  file "$exe" | grep -q 'PE32 executable (console) Intel 80386 (stripped' || fail "not the stripped i686 console program: $(file -b "$exe")"
  [ "$(stat -c %s "$exe")" -lt 81920 ] || fail "Hoister.exe is $(stat -c %s "$exe") bytes, 80 KB or more"
  ;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
