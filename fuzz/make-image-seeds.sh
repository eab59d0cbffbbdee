#!/usr/bin/env bash
# Writes the seeds of the block_source target (fuzz/corpus/block_source/):
# small disks in each image format, made by ewfacquire and qemu-img from the
# first sectors of the sample fixture. Each seed is an options byte, two
# bytes of split point, then the file (see block_source_fuzz.cpp).
# Usage: fuzz/make-image-seeds.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
out="$here/corpus/block_source"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
rm -f "$out"/seed-*
cd "$work"

gzip -dc "$root/tests/fixtures/data/sample.img.gz" > sample.img
head -c 262144 sample.img > small.img
head -c 32768 small.img > tiny.img
truncate -s 4M zero.img
ewfacquire -u -q -c best -C CASE -e examiner -t small small.img > /dev/null
qemu-img convert -f raw -O vpc -o subformat=fixed tiny.img fixed.vhd
qemu-img convert -f raw -O vpc zero.img dynamic.vhd
qemu-img convert -f raw -O vhdx -o block_size=1M,log_size=1M small.img disk.vhdx
qemu-img convert -f raw -O vmdk -o subformat=streamOptimized small.img stream.vmdk
qemu-img convert -f raw -O vmdk tiny.img sparse.vmdk
qemu-img convert -f raw -O qcow2 -o cluster_size=4096 small.img plain.qcow2
qemu-img convert -f raw -O qcow2 -c -o cluster_size=4096 small.img packed.qcow2

# seed NAME OPTIONS CUT FILE [BYTES]
seed() {
  python3 - "$out/seed-$1" "$2" "$3" "$4" "${5:-0}" <<'PY'
import sys
path, opts, cut, src, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
data = open(src, "rb").read()
if limit:
    data = data[:limit]
open(path, "wb").write(bytes([opts, cut & 0xFF, cut >> 8]) + data)
PY
}
seed raw-mbr 0 0 small.img 4096
seed split-raw 3 1000 small.img 8192
seed ewf 1 0 small.E01
seed vhd-fixed 0 0 fixed.vhd
seed vhd-dynamic 0 0 dynamic.vhd
# The VHDX headers, region tables and log; the rest of the file is cut.
seed vhdx-head 0 0 disk.vhdx 327680
seed vmdk-stream 2 0 stream.vmdk
seed vmdk-sparse 2 0 sparse.vmdk
printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicFlat"\n\nRW 64 FLAT "disk.img" 0\n' > desc.vmdk
seed vmdk-descriptor 2 0 desc.vmdk
seed qcow2 0 0 plain.qcow2
seed qcow2-compressed 0 0 packed.qcow2
ls -l "$out"
