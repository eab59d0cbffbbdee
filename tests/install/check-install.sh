#!/usr/bin/env bash
# `cmake --install` of a build into a staging folder, as a packager runs it:
# the command line, its man page (when help2man is there), and with the
# desktop program its .desktop entry and icon; the installed osprin runs.
# Usage: check-install.sh BUILD_DIR VERSION GUI(ON|OFF) MAN(ON|OFF)
set -euo pipefail
build=$1 version=$2 gui=$3 man=$4
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }
DESTDIR="$stage" cmake --install "$build" --prefix /usr > "$stage.log" 2>&1 || { cat "$stage.log"; rm -f "$stage.log"; fail "cmake --install failed"; }
rm -f "$stage.log"
root=$stage/usr
[ -x "$root/bin/osprin" ] || fail "bin/osprin missing"
[ "$("$root/bin/osprin" --version)" = "osprin $version" ] || fail "osprin --version is not 'osprin $version'"
if [ "$man" = ON ]; then
  page=$root/share/man/man1/osprin.1
  [ -s "$page" ] || fail "share/man/man1/osprin.1 missing"
  grep -q '^\.SH COMMANDS' "$page" || fail "the man page has no COMMANDS section"
  for cmd in drives partitions search-partitions list recover deep-scan; do
    grep -q "^\.SS $cmd\$" "$page" || fail "the man page lacks the $cmd command"
  done
  grep -q "osprin $version" "$page" || fail "the man page names no version"
fi
if [ "$gui" = ON ]; then
  [ -x "$root/bin/osprin-gui" ] || fail "bin/osprin-gui missing"
  desktop=$root/share/applications/osprin-gui.desktop
  [ -s "$desktop" ] || fail "share/applications/osprin-gui.desktop missing"
  grep -qx 'Exec=osprin-gui' "$desktop" || fail "the .desktop entry does not start osprin-gui"
  grep -qx 'Icon=osprin' "$desktop" || fail "the .desktop entry names no icon osprin"
  [ -s "$root/share/icons/hicolor/scalable/apps/osprin.svg" ] || fail "the icon is missing"
  if command -v desktop-file-validate > /dev/null; then desktop-file-validate "$desktop"; fi
fi
echo "installed: $(cd "$root" && find . -type f | sort | tr '\n' ' ')"
