#!/usr/bin/env bash
# Rebuilds the seed corpora of the fuzz targets (fuzz/corpus/<target>/seed-*)
# from small volumes made here with real tools (mkfs.fat, mtools, mkntfs,
# ntfs-3g) and from slices of the test fixtures. Run as root (ntfs-3g mounts
# the NTFS image through FUSE). Inputs that the fuzzers found and that were
# merged into the corpora (names without the seed- prefix) are kept.
# Usage: fuzz/make-seeds.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
work="$here/corpus-work/seed-volumes"
rm -rf "$work"
mkdir -p "$work"
cd "$work"
export TZ=UTC LANG=C.UTF-8 LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

text() { python3 -c "
import sys
out=bytearray(); n=0
while len(out) < $2:
    out += b'%s line %d\n' % (b'$1', n); n += 1
sys.stdout.buffer.write(bytes(out[:$2]))"; }

mkdir -p files
text readme 300 > files/readme.txt
text report 2600 > files/report.txt
text notes 700 > files/notes.txt
text old 1500 > files/old.txt
text frag 5000 > files/frag.bin
text tiny 40 > files/tiny.txt

# ---- FAT: the same small tree on FAT16 (8 MiB, 1 KiB clusters) and FAT32
# (512-byte clusters): long names (one of exactly 13 characters, one spread
# over three entries), a sub-folder, a deleted file and a deleted folder
# with a file in it. mtools takes a volume of fewer than 65525 clusters for
# FAT16 whatever its boot sector says, so the FAT32 volume is made at 34 MiB
# and cut to its first 2 MiB, which hold everything written.
make_fat() {
  local img=$1 bits=$2 sectors=$3 spc=$4 keep=$5
  truncate -s $((sectors * 512)) "$img"
  mkfs.fat -F "$bits" -s "$spc" -n OSPRIN "$img" >/dev/null 2>&1
  mmd -i "$img" ::/Documents ::/Documents/Reports ::/Trash
  mcopy -i "$img" files/readme.txt ::/README.TXT
  mcopy -i "$img" files/tiny.txt "::/Thirteen.txt"
  mcopy -i "$img" files/report.txt "::/Documents/Quarterly report for the board.txt"
  mcopy -i "$img" files/notes.txt "::/Documents/Reports/notes.txt"
  mcopy -i "$img" files/frag.bin "::/Documents/fragment.bin"
  mcopy -i "$img" files/old.txt "::/Trash/old file.txt"
  mcopy -i "$img" files/old.txt "::/deleted.txt"
  mdel -i "$img" "::/deleted.txt"
  mdeltree -i "$img" ::/Trash
  truncate -s $((keep * 512)) "$img"
}
make_fat fat16.img 16 16384 2 16384
make_fat fat32.img 32 69632 1 4096

# ---- NTFS, 3 MiB, 512-byte clusters: folders, a resident and a
# non-resident file, a deleted file and a deleted folder.
truncate -s $((6144 * 512)) ntfs.img
mkntfs -Q -F -q -s 512 -c 512 -L OSPRIN ntfs.img >/dev/null 2>&1
mkdir -p mnt
ntfs-3g ntfs.img mnt
trap 'umount "$work/mnt" 2>/dev/null || true' EXIT
mkdir -p mnt/Documents/Reports mnt/Trash
cp files/tiny.txt mnt/tiny.txt
cp files/readme.txt mnt/readme.txt
cp files/report.txt "mnt/Documents/Quarterly report.txt"
cp files/notes.txt mnt/Documents/Reports/notes.txt
cp files/frag.bin mnt/Documents/fragment.bin
cp files/old.txt "mnt/Trash/old file.txt"
cp files/old.txt mnt/deleted.txt
sync
rm mnt/deleted.txt
rm -r mnt/Trash
umount mnt
trap - EXIT

# ---- A disk: MBR with the FAT16 and FAT32 volumes as primary partitions
# and the NTFS volume as a logical partition of an extended partition.
truncate -s $((28800 * 512)) disk.img
sfdisk -q disk.img >/dev/null 2>&1 <<'EOF'
label: dos
start=64, size=16384, type=6
start=16448, size=4096, type=c
start=20544, size=8256, type=f
start=20608, size=6144, type=7
EOF
dd if=fat16.img of=disk.img bs=512 seek=64 conv=notrunc status=none
dd if=fat32.img of=disk.img bs=512 seek=16448 conv=notrunc status=none
dd if=ntfs.img of=disk.img bs=512 seek=20608 conv=notrunc status=none

python3 "$here/seeds.py" --work "$work" --fixtures "$root/tests/fixtures/data" --corpus "$here/corpus"
