#!/usr/bin/env bash
# Writes the osprin(1) man page from the program's own help with help2man:
# the main --help, then a COMMANDS section with each subcommand's --help.
# Usage: make-man.sh OSPRIN OUTPUT
set -euo pipefail
osprin=$1
out=$2
include=$(mktemp)
trap 'rm -f "$include"' EXIT
{
  echo "[COMMANDS]"
  for cmd in drives partitions search-partitions list recover deep-scan; do
    echo ".SS $cmd"
    echo ".nf"
    # Lines that begin with a dot or a quote would be read as requests.
    "$osprin" "$cmd" --help | sed -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"
    echo ".fi"
  done
  echo "[SEE ALSO]"
  echo "osprin-gui(1), the desktop program over the same engine."
} > "$include"
help2man --no-info --no-discard-stderr \
  --name="recover files from FAT16, FAT32 and NTFS disks and disk images (read-only)" \
  --section=1 --include="$include" --output="$out" "$osprin"
