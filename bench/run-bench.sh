#!/usr/bin/env bash
# Osprin next to the tools a user would otherwise run on the same work.
#
#   bench/run-bench.sh [BUILD_DIR]        (what `make bench` runs)
#
# Builds the test volumes once with the fixture tools (mkntfs, ntfs-3g,
# mkfs.fat, mtools) and synthetic images with osprin-benchgen, in
# OSPRIN_BENCH_DIR (default /tmp/osprin-bench; several GiB, never in the
# repository), keeps them between runs, and prints for each comparison the
# times, the ratios and the peak memory (max RSS) of every run:
#
#   1. deep scan of a multi-GiB image in the page cache (NTFS and FAT passes,
#      `osprin deep-scan` end to end and the engine alone through
#      deepscan_bench) against `cat IMAGE > /dev/null`, and the deep scan of
#      the NTFS listing volume of comparison 2 against cat;
#   2. standard scan and listing (`osprin list --json`) of an NTFS volume with
#      over 100,000 files and folders (a fifth of them deleted), of a FAT32
#      volume with over 50,000 entries and of an exFAT volume of the same
#      files (mkfs.exfat, filled through exfat-fuse), against `fls -r -p`;
#   3. recovery of every file of an NTFS and a FAT32 volume holding 1.1 GiB
#      of files, against `tsk_recover -a` and against `cat` of the same bytes
#      into one file (and, for scale, `cp -r` of the same files), and
#      `recover --all --report` (SHA-256 and MD5 of every byte) against
#      `recover --all`;
#   4. peak memory of a deep scan that records 5,000,000 NTFS file records,
#      per record;
#   5. deep scan of an EnCase (E01) image of the first 512 MiB of the NTFS
#      listing volume (made once with ewfacquire), against exporting it to
#      raw with ewfexport and scanning that (skipped without ewf-tools);
#   6. ten million files: the standard scan and listing (`osprin list
#      --json`) and the deep scan of a synthetic NTFS volume whose MFT holds
#      10,000,000 files (osprin-benchgen; only the MFT is written, about
#      10 GiB), their peak memory per record, and the listing's time per
#      record against that of the NTFS listing volume of comparison 2
#      measured in the same run;
#   7. a failing disk's double (64 MiB of sectors, a run of 4,096 bad
#      sectors and a few scattered ones): the failed read requests of reading
#      it whole through the program's sector reader (osprin-failcount)
#      against GNU ddrescue's read errors on the same layout (--test-mode).
#
# Nothing is asserted: the numbers depend on the machine and on whatever
# else it is doing. Each timing is the best of OSPRIN_BENCH_REPEAT runs
# (default 3; the recovery comparisons take at least five, in rounds).
# OSPRIN_BENCH_GIB sets the deep-scan image size (default 4);
# OSPRIN_BENCH_RECORDS the synthetic record count (default 5000000);
# OSPRIN_BENCH_MANY the files of the volume of comparison 6 (default 10000000);
# OSPRIN_BENCH_QUICK=1 makes everything small (a check of the script);
# OSPRIN_BENCH_ONLY="1 3" runs only those comparisons.
set -uo pipefail

build=${1:-build}
build=$(cd "$build" && pwd) || { echo "no build directory $1" >&2; exit 1; }
osprin=$build/src/cli/osprin
benchgen=$build/bench/osprin-benchgen
deepbench=$build/bench/deepscan_bench
for t in /usr/bin/time python3; do
  command -v "$t" >/dev/null 2>&1 || { echo "run-bench needs $t (scripts/install-deps installs it)" >&2; exit 1; }
done
for b in "$osprin" "$benchgen"; do
  [ -x "$b" ] || { echo "missing $b (configure with -DOSPRIN_BUILD_BENCH=ON and build)" >&2; exit 1; }
done

work=${OSPRIN_BENCH_DIR:-/tmp/osprin-bench}
repeat=${OSPRIN_BENCH_REPEAT:-3}
gib=${OSPRIN_BENCH_GIB:-4}
records=${OSPRIN_BENCH_RECORDS:-5000000}
many=${OSPRIN_BENCH_MANY:-10000000}
# Volume shapes: NTFS top folders x subfolders x files, FAT likewise, and
# the recovery volume's big files (16 MiB each) and small files.
ntfs_shape=(20 10 520)
fat_shape=(10 25 200)
rec_big=64
rec_small=1024
ewf_mib=512
if [ "${OSPRIN_BENCH_QUICK:-0}" = 1 ]; then
  work=${OSPRIN_BENCH_DIR:-/tmp/osprin-bench-quick}
  gib=1 records=100000 repeat=1 ewf_mib=32 many=${OSPRIN_BENCH_MANY:-300000}
  ntfs_shape=(4 5 100) fat_shape=(4 5 50) rec_big=4 rec_small=64
fi
mkdir -p "$work"
cd "$work" || exit 1
export MTOOLS_SKIP_CHECK=1

have() { command -v "$1" >/dev/null 2>&1; }
only=" ${OSPRIN_BENCH_ONLY:-1 2 3 4 5 6 7} "
wanted() { [[ $only == *" $1 "* ]]; }
note() { printf '%s\n' "$*" >&2; }

# ---------------------------------------------------------------------------
# Measuring

# `empty_out DIR`: the files under DIR cut to nothing, without deleting
# them. A run that writes 1 GiB leaves 1 GiB of dirty and then cached pages
# behind; left there, each later run writes into fresh memory and was
# measured up to seven times slower than the one before it (on a virtual
# machine, all of it in the kernel's memcpy), and deleting the files instead
# makes the next runs' file creation step over the freed inodes for a minute
# (ext4 without a journal). Emptied, the files give back their pages
# and their disk space and keep their inodes, so every run writes into the
# same state of memory and the runs of a comparison need no more disk space
# than one of them.
empty_out() {
  python3 - "$1" <<'EOF' || true
import os, sys
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        try:
            fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            os.ftruncate(fd, 0)
        finally:
            os.close(fd)
EOF
}

# run NAME CMD...: runs CMD `repeat` times with stdout to /dev/null; sets
# T_NAME (best wall time, seconds), C_NAME (CPU time, user + system, of
# that run) and M_NAME (its max RSS, KiB). On a machine shared with other
# work the CPU time is the steadier of the two.
# `run_to FILE NAME CMD...` keeps the stdout of the last run in FILE.
# A command that fails is reported and its time left empty.
run_to() {
  local out=$1 name=$2
  shift 2
  local best="" rss="" cpu="" i t0 t1 el m c
  for ((i = 0; i < repeat; i++)); do
    local cmd=("$@")
    if [ -n "${BENCH_OUT:-}" ]; then
      # @OUT@ in the arguments: a new output folder for each run, written
      # to disk before the clock starts.
      n_out=$((n_out + 1))
      mkdir -p "$BENCH_OUT/$n_out"
      sync
      cmd=("${cmd[@]//@OUT@/$BENCH_OUT/$n_out}")
    fi
    t0=$EPOCHREALTIME
    if ! /usr/bin/time -f '%M %U %S' -o "$work/.rss" "${cmd[@]}" >"$out" 2>"$work/.err"; then
      note "  ! $name failed: $* ($(tail -n 3 "$work/.err" | tr '\n' ' '))"
      printf -v "F_$name" '%s' 1
      printf -v "T_$name" '%s' ""
      printf -v "C_$name" '%s' ""
      printf -v "M_$name" '%s' ""
      return 1
    fi
    t1=$EPOCHREALTIME
    [ -n "${BENCH_OUT:-}" ] && empty_out "$BENCH_OUT/$n_out"
    el=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    read -r m c < <(tail -n 1 "$work/.rss" | awk '{ printf "%s %.2f\n", $1, $2 + $3 }')
    if [ -z "$best" ] || awk -v a="$el" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$el rss=$m cpu=$c
    fi
  done
  # In rounds (`rounds`), a run counts only when it beats the best so far,
  # and a name that failed once stays failed.
  if [ -n "${in_rounds:-}" ]; then
    local failed="F_$name" tb="T_$name"
    [ -n "${!failed:-}" ] && return 1
    if [ -n "${!tb:-}" ] && awk -v a="${!tb}" -v b="$best" 'BEGIN { exit !(a <= b) }'; then return 0; fi
  fi
  printf -v "T_$name" '%s' "$best"
  printf -v "C_$name" '%s' "$cpu"
  printf -v "M_$name" '%s' "$rss"
}
run() { local name=$1; shift; run_to /dev/null "$name" "$@"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { if (k == "") print "-"; else printf "%.0f", k / 1024 }'; }
mbps() { awk -v bytes="$1" -v s="$2" 'BEGIN { if (s == "" || s + 0 == 0) print "-"; else printf "%.0f", bytes / s / 1e6 }'; }
sectors_of() { echo $(( $(stat -c %s "$1") / 512 )); }
warm() { cat "$@" >/dev/null 2>&1; }

row() { printf '  %-44s %8s %8s %6s %8s %8s %6s %8s %8s\n' "$@"; }
header() {
  printf '\n== %s\n' "$1"
  row "" "wall s" "other" "ratio" "cpu s" "other" "ratio" "RSS MiB" "other"
}
# cmp LABEL A B: a row comparing runs A and B (names given to run).
cmp() {
  local ta="T_$2" tb="T_$3" ca="C_$2" cb="C_$3" ma="M_$2" mb="M_$3"
  row "$1" "${!ta:-}" "${!tb:-}" "$(ratio "${!ta:-}" "${!tb:-}")" "${!ca:-}" "${!cb:-}" "$(ratio "${!ca:-}" "${!cb:-}")" \
    "$(mib "${!ma:-}")" "$(mib "${!mb:-}")"
}
# alone LABEL A: a row for one run.
alone() {
  local ta="T_$2" ca="C_$2" ma="M_$2"
  row "$1" "${!ta:-}" "" "" "${!ca:-}" "" "" "$(mib "${!ma:-}")" ""
}

# ---------------------------------------------------------------------------
# Volumes (built once; a stamp file names the shape they were built with)

stamp_ok() { [ -e "$1" ] && [ -f "$1.stamp" ] && [ "$(cat "$1.stamp")" = "$2" ]; }

mount_ntfs() { ntfs-3g -o big_writes "$1" "$2"; }
unmount() { fusermount -u "$1" 2>/dev/null || umount "$1"; }

# Names that look like a user's files: a few shapes and lengths.
py_names='
import random
def fname(i, j):
    kinds = ["report-%05d.docx", "IMG_%05d.JPG", "notes %d.txt", "data_%05d_backup.csv", "a%d.c"]
    return kinds[(i + j) % len(kinds)] % j
'

# A tar stream of TOP folders of SUB folders of FILES files each, made on
# the fly (no staging copy): tar_of_files TOP SUB FILES
tar_of_files() {
  python3 -c "$py_names
import sys, tarfile, io
top, sub, files = map(int, sys.argv[1:4])
t = tarfile.open(fileobj=sys.stdout.buffer, mode='w|')
blob = b'osprin bench ' * 400
for i in range(top):
    for j in range(sub):
        d = 'Folder %02d/sub-%03d' % (i, j)
        for k in range(files):
            size = (k * 37) % 3000
            ti = tarfile.TarInfo(d + '/' + fname(i * sub + j, k))
            ti.size = size
            ti.mtime = 1500000000 + k
            t.addfile(ti, io.BytesIO(blob[:size]))
t.close()
" "$@"
}

make_ntfs_list() {
  local img=ntfs-list.img shape="v2 ${ntfs_shape[*]}"
  stamp_ok "$img" "$shape" && return 0
  have mkntfs && have ntfs-3g || { note "mkntfs/ntfs-3g missing: no NTFS listing volume"; return 1; }
  note "making $work/$img (${ntfs_shape[0]}x${ntfs_shape[1]}x${ntfs_shape[2]} files; takes a minute or two)..."
  rm -f "$img" "$img.stamp"
  truncate -s 3G "$img.part"
  mkntfs -F -Q -q -c 4096 "$img.part" >/dev/null 2>&1 || { note "mkntfs failed"; return 1; }
  mkdir -p mnt
  mount_ntfs "$img.part" mnt || { note "ntfs-3g cannot mount here"; return 1; }
  tar_of_files "${ntfs_shape[@]}" | tar -x -C mnt || { unmount mnt; note "filling the NTFS volume failed"; return 1; }
  # A fifth of the top folders are deleted: their records stay in the MFT.
  local i
  for ((i = 0; i < ntfs_shape[0]; i += 5)); do rm -rf "mnt/$(printf 'Folder %02d' "$i")"; done
  unmount mnt
  mv "$img.part" "$img"
  echo "$shape" >"$img.stamp"
}

make_exfat_list() {
  local img=exfat-list.img shape="v1 ${fat_shape[*]}"
  stamp_ok "$img" "$shape" && return 0
  have mkfs.exfat && have mount.exfat-fuse && have losetup || { note "exfatprogs/exfat-fuse missing: no exFAT listing volume"; return 1; }
  note "making $work/$img (${fat_shape[0]}x${fat_shape[1]}x${fat_shape[2]} files)..."
  rm -f "$img" "$img.stamp"
  truncate -s 1G "$img.part"
  mkfs.exfat -c 4096 "$img.part" >/dev/null || { note "mkfs.exfat failed"; return 1; }
  # exfat-fuse mounts block devices: a loop device over the image.
  local loop; loop=$(losetup -f --show "$img.part") || { note "no loop device: no exFAT listing volume"; return 1; }
  mkdir -p mnt
  mount.exfat-fuse "$loop" mnt >/dev/null 2>&1 || { losetup -d "$loop"; note "exfat-fuse cannot mount here"; return 1; }
  tar_of_files "${fat_shape[@]}" | tar -x --no-same-owner --no-same-permissions -C mnt || { unmount mnt; losetup -d "$loop"; note "filling the exFAT volume failed"; return 1; }
  local i
  for ((i = 0; i < fat_shape[0]; i += 5)); do rm -rf "mnt/$(printf 'Folder %02d' "$i")"; done
  unmount mnt
  losetup -d "$loop"
  mv "$img.part" "$img"
  echo "$shape" >"$img.stamp"
}

make_fat_list() {
  local img=fat-list.img shape="v2 ${fat_shape[*]}"
  stamp_ok "$img" "$shape" && return 0
  have mkfs.fat && have mcopy || { note "mkfs.fat/mtools missing: no FAT listing volume"; return 1; }
  note "making $work/$img (${fat_shape[0]}x${fat_shape[1]}x${fat_shape[2]} files)..."
  rm -rf "$img" "$img.stamp" stage-fat
  mkdir -p stage-fat
  python3 -c "$py_names
import sys, os
top, sub, files = map(int, sys.argv[1:4])
blob = b'osprin bench ' * 400
for i in range(top):
    for j in range(sub):
        d = 'stage-fat/Folder %02d/sub-%03d' % (i, j)
        os.makedirs(d)
        for k in range(files):
            with open(d + '/' + fname(i * sub + j, k), 'wb') as f:
                f.write(blob[:(k * 37) % 3000])
" "${fat_shape[@]}"
  truncate -s 1G "$img.part"
  mkfs.fat -F 32 -s 8 "$img.part" >/dev/null || return 1
  (cd stage-fat && mcopy -s -i "../$img.part" ./* ::/) || { note "mcopy failed"; return 1; }
  local i
  for ((i = 0; i < fat_shape[0]; i += 5)); do mdeltree -i "$img.part" "::/$(printf 'Folder %02d' "$i")"; done
  rm -rf stage-fat
  mv "$img.part" "$img"
  echo "$shape" >"$img.stamp"
}

# The files of the recovery volumes: 16 MiB files and small ones of 1 to
# 128 KiB, random bytes, kept in stage-rec for `cat`.
make_rec_stage() {
  local shape="v1 $rec_big $rec_small"
  stamp_ok stage-rec "$shape" && return 0
  rm -rf stage-rec stage-rec.stamp
  note "making $work/stage-rec ($rec_big x 16 MiB + $rec_small small files)..."
  python3 -c "
import sys, os
big, small = map(int, sys.argv[1:3])
for i in range(big):
    d = 'stage-rec/big-%d' % (i % 8)
    os.makedirs(d, exist_ok=True)
    with open('%s/video-%03d.bin' % (d, i), 'wb') as f:
        f.write(os.urandom(16 << 20))
for i in range(small):
    d = 'stage-rec/small-%d' % (i % 16)
    os.makedirs(d, exist_ok=True)
    with open('%s/doc-%04d.dat' % (d, i), 'wb') as f:
        f.write(os.urandom(1024 + (i * 7919) % (127 * 1024)))
" "$rec_big" "$rec_small"
  mkdir -p stage-rec
  echo "$shape" >stage-rec.stamp
}

make_ntfs_rec() {
  local img=ntfs-rec.img shape="v1 $rec_big $rec_small"
  stamp_ok "$img" "$shape" && return 0
  have mkntfs && have ntfs-3g || return 1
  make_rec_stage || return 1
  note "making $work/$img..."
  rm -f "$img" "$img.stamp"
  truncate -s 2G "$img.part"
  mkntfs -F -Q -q -c 4096 "$img.part" >/dev/null 2>&1 || return 1
  mkdir -p mnt
  mount_ntfs "$img.part" mnt || return 1
  (cd stage-rec && tar -cf - .) | tar -x -C mnt || { unmount mnt; return 1; }
  unmount mnt
  mv "$img.part" "$img"
  echo "$shape" >"$img.stamp"
}

make_fat_rec() {
  local img=fat-rec.img shape="v1 $rec_big $rec_small"
  stamp_ok "$img" "$shape" && return 0
  have mkfs.fat && have mcopy || return 1
  make_rec_stage || return 1
  note "making $work/$img..."
  rm -f "$img" "$img.stamp"
  truncate -s 2G "$img.part"
  mkfs.fat -F 32 -s 8 "$img.part" >/dev/null || return 1
  (cd stage-rec && mcopy -s -i "../$img.part" ./* ::/) || return 1
  mv "$img.part" "$img"
  echo "$shape" >"$img.stamp"
}

# make_synthetic KIND SIZE WHAT: KIND.img from osprin-benchgen, made again
# only when SIZE changed.
make_synthetic() {
  local kind=$1 size=$2 what=$3 img=$1.img shape="v1 $2"
  stamp_ok "$img" "$shape" && return 0
  note "making $work/$img ($what)..."
  rm -f "$img" "$img.stamp"
  "$benchgen" "$kind" "$img" "$size" || return 1
  echo "$shape" >"$img.stamp"
}

make_deep() { make_synthetic deep "$gib" "$gib GiB"; }
make_records() { make_synthetic records "$records" "$records NTFS file records"; }
make_many() { make_synthetic volume "$many" "an NTFS volume of $many files"; }

# ---------------------------------------------------------------------------

echo "Osprin benchmarks in $work ($(nproc) cores, $(awk '/MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo) GiB RAM; best of $repeat)"
echo "osprin: $osprin"

# 1. Deep scan against cat ---------------------------------------------------
if wanted 1 && make_deep; then
  img=deep.img
  bytes=$(stat -c %s "$img")
  s=$(sectors_of "$img")
  warm "$img"
  run cat cat "$img"
  run dsn "$osprin" deep-scan "$img" --fs NTFS --start 0 --end "$s" --json
  run dsf "$osprin" deep-scan "$img" --fs FAT32 --start 0 --end "$s" --json
  header "1. Deep scan of a $gib GiB image in the page cache, against cat IMAGE > /dev/null"
  alone "cat" cat
  cmp "osprin deep-scan --fs NTFS / cat" dsn cat
  cmp "osprin deep-scan --fs FAT32 / cat" dsf cat
  printf '  throughput MB/s (wall): cat %s, NTFS %s, FAT32 %s; share of cat: NTFS %s, FAT32 %s\n' \
    "$(mbps "$bytes" "$T_cat")" "$(mbps "$bytes" "$T_dsn")" "$(mbps "$bytes" "$T_dsf")" \
    "$(ratio "$T_cat" "$T_dsn")" "$(ratio "$T_cat" "$T_dsf")"
  if [ -x "$deepbench" ]; then
    echo "  engine alone (deepscan_bench, 60 sectors per batch, MB/s):"
    OSPRIN_BENCH_IMAGE=$work/$img "$deepbench" \
      --benchmark_filter='BM_SequentialRead/2048|BM_(Fat|Ntfs)SignatureScan/60' \
      --benchmark_format=json --benchmark_out="$work/deepbench.json" >/dev/null 2>"$work/.err" ||
      note "  ! deepscan_bench failed: $(tail -n 3 "$work/.err")"
    python3 - "$work/deepbench.json" <<'EOF' || true
import json, sys
runs = {"/".join(b["name"].split("/")[:2]): b for b in json.load(open(sys.argv[1]))["benchmarks"]}
rate = lambda n: runs[n]["bytes_per_second"] / 1e6 if n in runs else 0
seq = rate("BM_SequentialRead/2048")
for n in ("BM_NtfsSignatureScan/60", "BM_FatSignatureScan/60"):
    if n in runs and seq:
        print("    %-28s %8.0f  (sequential reads %.0f; share %.2f)" % (n, rate(n), seq, rate(n) / seq))
EOF
  fi
fi

# The same on a real volume: the NTFS listing volume of comparison 2 (mkntfs,
# over 100,000 files through ntfs-3g), whose records the scan examines.
if wanted 1 && make_ntfs_list; then
  img=ntfs-list.img
  bytes=$(stat -c %s "$img")
  warm "$img"
  run catl cat "$img"
  run dsl "$osprin" deep-scan "$img" --fs NTFS --start 0 --end "$(sectors_of "$img")" --json
  header "1b. Deep scan of the NTFS listing volume ($((bytes >> 20)) MiB, page cache), against cat IMAGE > /dev/null"
  cmp "osprin deep-scan --fs NTFS / cat" dsl catl
  printf '  throughput MB/s (wall): cat %s, osprin %s; share of cat: %s\n' \
    "$(mbps "$bytes" "$T_catl")" "$(mbps "$bytes" "$T_dsl")" "$(ratio "$T_catl" "$T_dsl")"
fi

# 2. Standard scan and listing against fls ------------------------------------
list_cmp() {  # label image fs key
  local label=$1 img=$2 fs=$3 key=$4
  local s; s=$(sectors_of "$img")
  warm "$img"
  run_to "$work/$key.json" "${key}_o" "$osprin" list "$img" --fs "$fs" --start 0 --end $((s - 1)) --json
  local rows_o; rows_o=$(grep -c '"path"' "$work/$key.json")
  if have fls; then
    run_to "$work/$key.fls" "${key}_f" fls -r -p "$img"
  else
    note "fls missing: no comparison"
  fi
  local rows_f; rows_f=$(wc -l <"$work/$key.fls" 2>/dev/null || echo 0)
  cmp "$label: osprin / fls" "${key}_o" "${key}_f"
  printf '  %-44s osprin %s rows, fls %s lines\n' "" "$rows_o" "$rows_f"
}
if wanted 2 && { make_ntfs_list; make_fat_list; make_exfat_list; [ -f ntfs-list.img ] || [ -f fat-list.img ] || [ -f exfat-list.img ]; }; then
  header "2. Standard scan and listing (osprin list --json) against fls -r -p"
  [ -f ntfs-list.img ] && list_cmp "NTFS, ${ntfs_shape[0]}x${ntfs_shape[1]}x${ntfs_shape[2]} files" ntfs-list.img NTFS ntfs
  [ -f fat-list.img ] && list_cmp "FAT32, ${fat_shape[0]}x${fat_shape[1]}x${fat_shape[2]} files" fat-list.img FAT32 fat
  [ -f exfat-list.img ] && list_cmp "exFAT, ${fat_shape[0]}x${fat_shape[1]}x${fat_shape[2]} files" exfat-list.img EXFAT exfat
fi

# 3. Recovery against tsk_recover and cat -------------------------------------
rec_cmp() {  # label image fs key
  local label=$1 img=$2 fs=$3 key=$4
  local s; s=$(sectors_of "$img")
  local out=$work/out-$key
  local bytes; bytes=$(du -sb --apparent-size stage-rec | cut -f1)
  warm "$img"
  find stage-rec -type f -print0 | xargs -0 cat >/dev/null
  # Each run writes into a folder of its own, deleted at the end of the
  # comparison. Files deleted less than a minute before (five while their
  # inode table blocks are not yet written) make ext4 without a journal
  # step over their inodes, one by one, for every file it creates, which
  # no user's recovery meets; so the next comparison waits that out.
  if [ -e "$out" ]; then
    rm -rf "$out"
    rec_deleted_at=$EPOCHSECONDS
  fi
  if [ -n "${rec_deleted_at:-}" ]; then
    sync
    local wait=$((rec_deleted_at + 65 - EPOCHSECONDS))
    ((wait > 0)) && sleep "$wait"
  fi
  mkdir -p "$out"
  BENCH_OUT=$out
  n_out=0
  # The runs go in rounds, each tool once per round, so that no tool's runs
  # all fall in a slow spell of the file system or of the machine: writing
  # files is far noisier than reading them (ext4 picking inodes, a virtual
  # machine's memory). Each run's files are emptied once its clock stops.
  # At least five rounds, unless the runs are not repeated at all.
  local saved_repeat=$repeat round got="" rounds=$repeat
  ((repeat > 1 && rounds < 5)) && rounds=5
  repeat=1 in_rounds=1
  for ((round = 0; round < rounds; round++)); do
    run "${key}_o" "$osprin" recover "$img" --fs "$fs" --start 0 --end $((s - 1)) --to @OUT@/osprin --all --force
    [ -z "$got" ] && got=$(find "$out/$n_out/osprin" -type f | wc -l)
    # The same with a report: every byte hashed (SHA-256 and MD5) on its way.
    run "${key}_r" "$osprin" recover "$img" --fs "$fs" --start 0 --end $((s - 1)) --to @OUT@/osprin --all --force \
      --report @OUT@/report.json
    if have tsk_recover; then
      run "${key}_t" tsk_recover -a "$img" @OUT@/tsk
    fi
    # cat of the same bytes: every file of the volume, read from the page
    # cache and written to one file on the destination's file system.
    run "${key}_c" sh -c "find '$work/stage-rec' -type f -print0 | xargs -0 cat > @OUT@/all.bin"
    # For scale: the same files copied one by one, each created on its own.
    run "${key}_p" cp -r "$work/stage-rec" @OUT@/cp
  done
  repeat=$saved_repeat in_rounds=""
  BENCH_OUT=""
  rm -rf "$out"
  rec_deleted_at=$EPOCHSECONDS
  local to="T_${key}_o" tc="T_${key}_c"
  cmp "$label: osprin / tsk_recover -a" "${key}_o" "${key}_t"
  cmp "$label: osprin / cat" "${key}_o" "${key}_c"
  cmp "$label: osprin --report / osprin" "${key}_r" "${key}_o"
  cmp "$label: osprin / cp -r of the files" "${key}_o" "${key}_p"
  printf '  %-44s %s files, %s MB; osprin %s MB/s, cat %s MB/s\n' "" "$got" "$((bytes / 1000000))" \
    "$(mbps "$bytes" "${!to}")" "$(mbps "$bytes" "${!tc}")"
}
if wanted 3 && { make_ntfs_rec; make_fat_rec; [ -f ntfs-rec.img ] || [ -f fat-rec.img ]; }; then
  header "3. Recovery of every file (osprin recover --all) against tsk_recover -a and cat"
  [ -f ntfs-rec.img ] && rec_cmp "NTFS" ntfs-rec.img NTFS nrec
  [ -f fat-rec.img ] && rec_cmp "FAT32" fat-rec.img FAT32 frec
fi

# 4. Memory per recorded NTFS file record ------------------------------------
if wanted 4 && make_records; then
  img=records.img
  s=$(sectors_of "$img")
  warm "$img"
  run_to "$work/records.json" rec "$osprin" deep-scan "$img" --fs NTFS --start 0 --end "$s" --json
  run base "$osprin" deep-scan "$img" --fs NTFS --start 0 --end 2048 --json
  found=$(python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['counters']['files'])" "$work/records.json" 2>/dev/null || echo 0)
  header "4. Peak memory of a deep scan recording $found NTFS file records"
  alone "osprin deep-scan --fs NTFS" rec
  awk -v m="$M_rec" -v b="$M_base" -v n="$found" 'BEGIN {
    if (n > 0) printf "  bytes per recorded file record: %.0f (max RSS / records), %.0f above the %.0f MiB of a scan that finds nothing\n",
                      m * 1024 / n, (m - b) * 1024 / n, b / 1024 }'
fi

# 5. Deep scan of an EnCase image against ewfexport to raw ---------------------
make_ewf() {
  local img=ntfs-list.E01 shape="v1 $ewf_mib $(cat ntfs-list.img.stamp 2>/dev/null)"
  stamp_ok "$img" "$shape" && return 0
  have ewfacquire && have ewfexport || { note "ewf-tools missing: no EnCase comparison"; return 1; }
  make_ntfs_list || return 1
  note "making $work/$img (the first $ewf_mib MiB of the NTFS listing volume)..."
  rm -f ntfs-list.E?? "$img.stamp"
  ewfacquire -u -q -c fast -B $((ewf_mib * 1048576)) -S 2GiB -t ntfs-list ntfs-list.img >/dev/null 2>"$work/.err" ||
    { note "ewfacquire failed: $(tail -n 3 "$work/.err")"; return 1; }
  echo "$shape" >"$img.stamp"
}
if wanted 5 && make_ewf; then
  img=ntfs-list.E01
  s=$((ewf_mib * 2048))
  warm ntfs-list.E??
  run_to "$work/ewf.json" ewf "$osprin" deep-scan "$img" --fs NTFS --start 0 --end "$s" --json
  # Each run starts without the export of the run before.
  run exp sh -c "rm -f export.raw export.raw.info && ewfexport -u -q -f raw -t export '$img'"
  warm export.raw
  run_to "$work/exported.json" raw "$osprin" deep-scan export.raw --fs NTFS --start 0 --end "$s" --json
  header "5. Deep scan of an EnCase image ($ewf_mib MiB, $(ls ntfs-list.E?? | wc -l) segment(s)) against ewfexport to raw"
  alone "osprin deep-scan of the E01" ewf
  alone "ewfexport to raw" exp
  cmp "osprin deep-scan E01 / of the exported raw" ewf raw
  total=$(awk -v a="${T_exp:-}" -v b="${T_raw:-}" 'BEGIN { if (a == "" || b == "") print ""; else printf "%.3f", a + b }')
  printf '  %-44s %s s against %s s of ewfexport and a raw scan (ratio %s); same results: %s\n' "E01 directly" \
    "${T_ewf:-}" "$total" "$(ratio "${T_ewf:-}" "$total")" \
    "$(command cmp -s "$work/ewf.json" "$work/exported.json" && echo yes || echo NO)"
  rm -f export.raw export.raw.info
fi

# 6. Ten million files ----------------------------------------------------------
if wanted 6 && make_many; then
  img=volume.img
  s=$(sectors_of "$img")
  warm "$img"
  run_to "$work/many.json" many_l "$osprin" list "$img" --fs NTFS --start 0 --end $((s - 1)) --json
  rows_m=$(grep -c '"path"' "$work/many.json")
  rm -f "$work/many.json"
  run_to "$work/many-deep.json" many_d "$osprin" deep-scan "$img" --fs NTFS --start 0 --end "$s" --json
  found_m=$(python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['counters']['files'])" "$work/many-deep.json" 2>/dev/null || echo 0)
  rm -f "$work/many-deep.json"
  # The anchor: the listing of the NTFS volume of comparison 2, this run.
  if [ -z "${T_ntfs_o:-}" ] && make_ntfs_list; then
    warm ntfs-list.img
    run_to "$work/ntfs.json" ntfs_o "$osprin" list ntfs-list.img --fs NTFS --start 0 --end $(($(sectors_of ntfs-list.img) - 1)) --json
  fi
  rows_a=$(grep -c '"path"' "$work/ntfs.json" 2>/dev/null || echo 0)
  header "6. $many files in one NTFS volume ($rows_m rows listed, $found_m file records found by the deep scan)"
  alone "osprin list --json" many_l
  alone "osprin deep-scan --fs NTFS" many_d
  awk -v t="${T_many_l:-}" -v n="$rows_m" -v ta="${T_ntfs_o:-}" -v na="$rows_a" 'BEGIN {
    if (t != "" && n > 0 && ta != "" && na > 0)
      printf "  listing time per row: %.2f us; the %d-row NTFS listing volume: %.2f us (ratio %.2f)\n",
             t * 1e6 / n, na, ta * 1e6 / na, (t / n) / (ta / na) }'
  awk -v ml="${M_many_l:-}" -v md="${M_many_d:-}" -v n="$rows_m" -v f="$found_m" 'BEGIN {
    if (n > 0 && ml != "") printf "  peak memory per row: listing %.0f bytes (%.0f MiB)", ml * 1024 / n, ml / 1024
    if (f > 0 && md != "") printf "; deep scan %.0f bytes per file record found (%.0f MiB)", md * 1024 / f, md / 1024
    printf "\n" }'
fi

# 7. A failing disk's double against GNU ddrescue --------------------------------
failcount=$build/bench/osprin-failcount
if wanted 7 && [ -x "$failcount" ]; then
  fd_sectors=131072
  fd_bad=(3000+4096 50000+1 70000+1 90000+2 100000+8)
  printf "\n== %s\n" "7. Reading a failing disk's double whole ($fd_sectors sectors; bad: ${fd_bad[*]})"
  read -r _ fd_failed _ fd_requests _ fd_unread < <("$failcount" "$fd_sectors" "${fd_bad[@]}")
  dd_errors=-
  if have ddrescue; then
    rm -f fd.img fd.out fd.map fd.test
    truncate -s $((fd_sectors * 512)) fd.img
    # The test-mode map: the bad ranges marked '-', the rest '+'.
    python3 - "$fd_sectors" "${fd_bad[@]}" >fd.test <<'EOF2'
import sys
total = int(sys.argv[1]) * 512
bad = sorted((int(a) * 512, int(b) * 512) for a, b in (r.split("+") for r in sys.argv[2:]))
print("# Mapfile\n0x00000000  +  1")
pos = 0
for first, size in bad:
    if first > pos:
        print("0x%08X  0x%08X  +" % (pos, first - pos))
    print("0x%08X  0x%08X  -" % (first, size))
    pos = first + size
if pos < total:
    print("0x%08X  0x%08X  +" % (pos, total - pos))
EOF2
    dd_errors=$(ddrescue -b512 --test-mode=fd.test fd.img fd.out fd.map 2>&1 | tr '\r' '\n' | grep -o 'read errors: *[0-9]*' | tail -n 1 | grep -o '[0-9]*$')
    rm -f fd.img fd.out fd.map fd.test
  else
    note "ddrescue missing: no comparison"
  fi
  printf '  failed read requests: osprin %s (of %s requests; %s sectors unread), GNU ddrescue %s read errors; ratio %s\n' \
    "${fd_failed:-}" "${fd_requests:-}" "${fd_unread:-}" "${dd_errors:--}" "$(ratio "${fd_failed:-}" "${dd_errors:-}")"
fi
