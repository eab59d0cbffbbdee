#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (called by make-seeds.sh).

Seeds come from the small volumes that make-seeds.sh builds (work folder:
fat16.img, fat32.img, ntfs.img, disk.img) and from slices of the test
fixtures. Targets that take a disk read the format of fuzz_image.h:

    byte 0: options, bytes 1-4: image size in sectors,
    chunks: u32 first sector, u16 sector count, the sectors' bytes.

Only sectors that are not zero are stored, so a seed holds a whole small
volume in a few kilobytes. Sectors that the tool never looks at (the NTFS
log file, the upper-case table) are left out.
"""
import argparse
import gzip
import os
import struct
import zlib

SECTOR = 512


# ---------------------------------------------------------------- images

def sectors_of(data):
    return len(data) // SECTOR


def sector(data, n):
    return data[n * SECTOR:(n + 1) * SECTOR]


def is_zero(s):
    return s.count(0) == len(s)


def encode(options, total, data, keep=None, drop=None):
    """The fuzz_image.h form of data (an image of `total` sectors): runs of
    sectors that are not zero, limited to `keep` (a set of sector numbers)
    when given, leaving out `drop`."""
    out = bytearray([options & 0xFF]) + struct.pack('<I', total)
    n = min(total, sectors_of(data))
    i = 0
    while i < n:
        def wanted(k):
            if keep is not None and k not in keep:
                return False
            if drop is not None and k in drop:
                return False
            s = sector(data, k)
            return not is_zero(s) and s.count(0xFF) != SECTOR
        if not wanted(i):
            i += 1
            continue
        j = i
        while j < n and j - i < 0xFFFF and wanted(j):
            j += 1
        out += struct.pack('<IH', i, j - i) + data[i * SECTOR:j * SECTOR]
        i = j
    return bytes(out)


def u16(b, o):
    return struct.unpack_from('<H', b, o)[0]


def u32(b, o):
    return struct.unpack_from('<I', b, o)[0]


def u64(b, o):
    return struct.unpack_from('<Q', b, o)[0]


# ---------------------------------------------------------------- NTFS

def fixup(rec):
    rec = bytearray(rec)
    usa, count = u16(rec, 4), u16(rec, 6)
    for i in range(1, count):
        last = 512 * i - 2
        if usa + 2 * i + 2 <= len(rec) and last + 2 <= len(rec):
            rec[last:last + 2] = rec[usa + 2 * i:usa + 2 * i + 2]
    return bytes(rec)


def ntfs_geometry(data, start=0):
    boot = sector(data, start)
    spc = boot[13]
    mft = start + spc * u32(boot, 48)
    return spc, mft


def ntfs_record(data, mft, n):
    return fixup(data[(mft + 2 * n) * SECTOR:(mft + 2 * n + 2) * SECTOR])


def attributes(rec):
    p = u16(rec, 20)
    while p + 8 <= len(rec):
        t, ln = u32(rec, p), u32(rec, p + 4)
        if t in (0, 0xFFFFFFFF) or ln == 0 or p + ln > len(rec):
            return
        yield p, t, rec[p:p + ln]
        p += ln


def data_runs(attr):
    """(lcn, length) of a non-resident attribute's runs."""
    if attr[8] == 0:
        return []
    p = u16(attr, 32)
    lcn, runs = 0, []
    while p < len(attr) and attr[p] != 0:
        h = attr[p]
        lw, ow = h & 15, h >> 4
        length = int.from_bytes(attr[p + 1:p + 1 + lw], 'little')
        if ow:
            lcn += int.from_bytes(attr[p + 1 + lw:p + 1 + lw + ow], 'little', signed=True)
            runs.append((lcn, length))
        p += 1 + lw + ow
    return runs


def ntfs_unused(data, start=0):
    """Sectors of $LogFile and $UpCase: never read by the tool, and large."""
    spc, mft = ntfs_geometry(data, start)
    out = set()
    for n in (2, 10):
        rec = ntfs_record(data, mft, n)
        for _, t, a in attributes(rec):
            if t == 0x80 and a[9] == 0:
                for lcn, length in data_runs(a):
                    out.update(range(start + lcn * spc, start + (lcn + length) * spc))
    return out


# ---------------------------------------------------------------- FAT

def looks_like_directory(s):
    """A FAT directory sector: "." and ".." entries, or several long-name
    entries or plausible short entries."""
    if s[0:2] == b'. ' and s[32:34] == b'..':
        return True
    lfn = short = 0
    for e in range(0, SECTOR, 32):
        ent = s[e:e + 32]
        if ent[0] == 0:
            break
        if ent[11] == 0x0F and ent[26:28] == b'\0\0':
            lfn += 1
        elif ent[11] < 0x40 and all(32 <= c < 127 or c == 0xE5 for c in ent[0:11]):
            short += 1
    return lfn >= 2 or short >= 3


def structural(data, limit):
    """Sectors that a scan looks at: boot sectors, the first sectors of FAT
    tables, directory sectors, NTFS file records and index blocks."""
    keep = set()
    n = min(limit, sectors_of(data))
    i = 0
    while i < n:
        s = sector(data, i)
        if s[510:512] == b'\x55\xaa' or s[0:4] == b'FILE' or looks_like_directory(s):
            keep.add(i)
        elif s[0:3] == b'\xf8\xff\xff':
            keep.update(range(i, min(n, i + 4)))
        elif s[0:4] == b'INDX':
            keep.update(range(i, min(n, i + 8)))
            i += 8
            continue
        i += 1
    return keep


def exfat_structural(data, limit):
    """Sectors of an exFAT volume that its deep scan looks at: boot sectors,
    the FAT's first sectors, and sectors holding entry sets (a file entry
    followed by a stream extension, a set's name entries running on, the
    root folder's bitmap, up-case and label entries)."""
    keep = set()
    for i in range(min(limit, sectors_of(data))):
        s = sector(data, i)
        if s[510:512] == b'\x55\xaa' or s[0:8] == b'\xf8\xff\xff\xff\xff\xff\xff\xff' or s[0] in (0x41, 0xC1, 0x81, 0x82, 0x83):
            keep.add(i)
            continue
        for o in range(0, SECTOR - 32, 32):
            if s[o] in (0x05, 0x85) and s[o + 32] in (0x40, 0xC0):
                keep.add(i)
                break
    return keep


# ---------------------------------------------------------------- writing

class Corpus:
    def __init__(self, root, target):
        self.dir = os.path.join(root, target)
        os.makedirs(self.dir, exist_ok=True)
        for f in os.listdir(self.dir):
            if f.startswith('seed-'):
                os.remove(os.path.join(self.dir, f))
        self.count = 0
        self.bytes = 0

    def add(self, name, blob):
        with open(os.path.join(self.dir, 'seed-' + name), 'wb') as f:
            f.write(blob)
        self.count += 1
        self.bytes += len(blob)

    def report(self):
        print('%-14s %3d seeds, %7d bytes' % (os.path.basename(self.dir), self.count, self.bytes))


def fixture(path, name):
    with gzip.open(os.path.join(path, name + '.img.gz'), 'rb') as f:
        return f.read()


def read(work, name):
    with open(os.path.join(work, name), 'rb') as f:
        return f.read()


def blank(data, sectors):
    d = bytearray(data)
    for s in sectors:
        d[s * SECTOR:(s + 1) * SECTOR] = bytes(SECTOR)
    return bytes(d)


# ---------------------------------------------------------------- targets

def partition_seeds(c, vols, fx):
    """Raw small disks (the partition target reads its input as the disk)."""
    fat16, fat32, ntfs = sector(vols['fat16'], 0), sector(vols['fat32'], 0), sector(vols['ntfs'], 0)

    def table(entries, signature=True):
        s = bytearray(SECTOR)
        for i, (t, start, length) in enumerate(entries):
            e = 446 + 16 * i
            s[e + 4] = t
            struct.pack_into('<II', s, e + 8, start, length)
        if signature:
            s[510:512] = b'\x55\xaa'
        return bytes(s)

    def disk(n, placed):
        d = bytearray(n * SECTOR)
        for at, s in placed:
            d[at * SECTOR:(at + 1) * SECTOR] = s
        return bytes(d)

    # Primary FAT32, NTFS and FAT16 partitions and an extended partition
    # holding two logical ones, the second behind a link, and a third link
    # that points back to the first record (a loop the reader refuses).
    mbr = table([(0x0C, 2, 100), (0x07, 4, 100), (0x06, 6, 100), (0x0F, 8, 40)])
    ebr1 = table([(0x06, 2, 10), (0x05, 4, 20)])
    ebr2 = table([(0x07, 2, 10), (0x05, 8, 20)])
    ebr3 = table([(0x01, 2, 10), (0x05, 0, 20)])
    c.add('mbr-ebr-chain', disk(20, [(0, mbr), (2, fat32), (4, ntfs), (6, fat16), (8, ebr1), (10, fat16),
                                     (12, ebr2), (14, ntfs), (16, ebr3), (18, bytes(SECTOR))]))
    # Type bytes alone (boot sectors unreadable or blank), type 0x83 with an
    # NTFS boot sector, a table without its signature.
    c.add('mbr-types', disk(8, [(0, table([(0x0E, 2, 9), (0x0B, 3, 9), (0x83, 4, 9), (0x01, 5, 9)])), (4, ntfs)]))
    c.add('mbr-outside', table([(0x07, 0xFFFFFFF0, 9), (0x0F, 0x7FFFFFFF, 9)]))
    c.add('mbr-no-signature', disk(4, [(0, table([(0x06, 2, 9)], signature=False)), (2, fat16)]))
    # The table in sector 61 or 62, as some tools leave it.
    c.add('table-at-61', disk(64, [(61, table([(0x0C, 63, 100)])), (63, fat32)]))
    c.add('table-at-62', disk(66, [(62, table([(0x07, 64, 100)])), (64, ntfs)]))
    # No table at all: boot sectors at cylinder boundaries for the lost
    # partition search (two heads of 63 sectors: cylinders of 126 sectors).
    c.add('lost', disk(520, [(63, fat32), (126 + 63, ntfs), (252, fat16), (378 + 63, fat32)]))
    # The first sectors of the fixture disks: tables pointing far away.
    for name in ('sample', 'ebr_loop', 'deep_disk', 'wiped_mbr'):
        c.add('fixture-' + name, fx[name][:2 * SECTOR])
    # Bare volumes: boot code that is no table.
    for name in ('fatwin16', 'fat32vol', 'ntfs'):
        c.add('bare-' + name, fx[name][:2 * SECTOR])
    gpt_seeds(c, fx['fat32vol'][:SECTOR], fx['ntfs'][:SECTOR], disk, table)


def gpt_seeds(c, fat32, ntfs, disk, table):
    """Small GUID partition tables: a sound one, one whose primary header is
    gone, a hybrid MBR, one with larger entries, and the backup alone."""
    def gpt(n, parts, count=4, size=128):
        array = bytearray(-(-count * size // SECTOR) * SECTOR)
        for i, (first, last, name) in enumerate(parts):
            e = i * size
            array[e:e + 16] = bytes([0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                     0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7])
            array[e + 16:e + 32] = bytes([i + 1] * 16)
            struct.pack_into('<QQQ', array, e + 32, first, last, 0)
            nm = name.encode('utf-16-le')[:72]
            array[e + 56:e + 56 + len(nm)] = nm
        arr_sectors = len(array) // SECTOR
        arr_crc = zlib.crc32(bytes(array[:count * size]))

        def header(lba, alt, arr_lba):
            h = bytearray(SECTOR)
            h[0:8] = b'EFI PART'
            struct.pack_into('<IIIIQQQQ', h, 8, 0x00010000, 92, 0, 0, lba, alt, 2 + arr_sectors,
                             n - 2 - arr_sectors)
            h[56:72] = bytes(range(0xD0, 0xE0))
            struct.pack_into('<QIII', h, 72, arr_lba, count, size, arr_crc)
            struct.pack_into('<I', h, 16, zlib.crc32(bytes(h[:92])))
            return bytes(h)

        d = bytearray(disk(n, []))
        d[SECTOR:2 * SECTOR] = header(1, n - 1, 2)
        d[2 * SECTOR:(2 + arr_sectors) * SECTOR] = array
        back = n - 1 - arr_sectors
        d[back * SECTOR:(back + arr_sectors) * SECTOR] = array
        d[(n - 1) * SECTOR:] = header(n - 1, 1, back)
        return d

    def put(d, at, s):
        d = bytearray(d)
        d[at * SECTOR:(at + 1) * SECTOR] = s
        return bytes(d)

    parts = [(12, 29, 'FAT32 data'), (30, 49, 'Windows'), (50, 55, 'linux')]
    sound = put(put(put(gpt(64, parts), 0, table([(0xEE, 1, 63)])), 12, fat32), 30, ntfs)
    c.add('gpt', sound)
    c.add('gpt-primary-gone', put(sound, 1, bytes(SECTOR)))
    c.add('gpt-hybrid', put(sound, 0, table([(0xEE, 1, 11), (0x0C, 12, 18)])))
    c.add('gpt-no-mbr', put(sound, 0, bytes(SECTOR)))
    big = put(put(put(gpt(96, parts, count=8, size=512), 0, table([(0xEE, 1, 95)])), 12, fat32), 30, ntfs)
    c.add('gpt-512-byte-entries', big)


def volume_params_seeds(c, vols, fx):
    """Each volume's boot sector(s), the sectors readVolumeParams checks, and
    for the calculation a FAT volume without its boot sector."""
    def fat_keep(d):
        b = sector(d, 0)
        reserved = u16(b, 14)
        spf = u16(b, 22) or u32(b, 36)
        return {0, 1, 6, 7, reserved, reserved + spf}

    def ntfs_keep(d):
        spc, mft = ntfs_geometry(d)
        mirror = spc * u32(sector(d, 0), 56)
        last = sectors_of(d) - 1
        return {0, mft, mft + 1, mirror, mirror + 1, last}

    for name, opts in (('fat16', 0x00), ('fat32', 0x00), ('ntfs', 0x00)):
        d = vols[name]
        keep = ntfs_keep(d) if name == 'ntfs' else fat_keep(d)
        c.add(name, encode(opts, sectors_of(d), d, keep))
    # The NTFS volume without its first boot sector (the backup at the end),
    # and FAT32 without its first (the backup at 6).
    d = vols['ntfs']
    c.add('ntfs-backup-only', encode(0, sectors_of(d), d, ntfs_keep(d) - {0}))
    d = vols['fat32']
    c.add('fat32-backup-only', encode(0, sectors_of(d), d, fat_keep(d) - {0}))
    # The calculation: the whole small FAT volumes, boot sector gone.
    for name in ('fat16', 'fat32'):
        d = vols[name]
        c.add(name + '-no-boot', encode(0, min(sectors_of(d), 8192), d, drop={0, 6}))
    # Boot sectors of the fixtures' volumes, each moved to sector 0.
    sample = fx['sample']
    for start in (2048, 71680, 106496):
        part = sample[start * SECTOR:(start + 4096) * SECTOR]
        b = sector(part, 0)
        if b[3:7] == b'NTFS':
            keep = {0} | set(range(0, 4096))
        else:
            keep = fat_keep(part)
        c.add('sample-%d' % start, encode(0x10, 4096, part, keep & structural(part, 4096) | {0}))


def fat_dir_seeds(c, vols, fx):
    """Directory sectors with the two sectors before them: long names,
    deleted entries, "." and ".." heads."""
    picked = 0
    sources = [('fat16', vols['fat16'], 0), ('fat32', vols['fat32'], 1), ('fat16vol', fx['fat16vol'], 0),
               ('fat32vol', fx['fat32vol'], 1)]
    for name, d, fat32 in sources:
        found = [i for i in range(2, min(sectors_of(d), 40000)) if looks_like_directory(sector(d, i))]
        # A spread of them, at most 10 per volume.
        step = max(1, len(found) // 10)
        for i in found[::step][:10]:
            opts = fat32 | (2 << 1)
            first = 2 if sector(d, i)[0:2] == b'. ' else 0
            opts |= first << 3
            c.add('%s-%d' % (name, i), bytes([opts]) + d[(i - 2) * SECTOR:(i + 2) * SECTOR])
            picked += 1


def ntfs_record_seeds(c, vols, fx):
    """MFT records: $MFT itself (its runs), the root and other folders (index
    root and allocation), resident and non-resident files, a file whose
    attributes are spread over records (an attribute list), deleted ones."""
    for name, d in (('ntfs', vols['ntfs']), ('ntfsfix', fx['ntfs'])):
        spc, mft = ntfs_geometry(d)
        opts = {1: 0, 2: 1, 4: 2, 8: 3}.get(spc, 0)
        n = 0
        taken = 0
        while taken < 14 and n < 2000:
            raw = d[(mft + 2 * n) * SECTOR:(mft + 2 * n + 2) * SECTOR]
            n += 1
            if raw[0:4] != b'FILE':
                continue
            rec = fixup(raw)
            types = {t for _, t, _ in attributes(rec)}
            interesting = n - 1 in (0, 5, 11) or 0x20 in types or 0xA0 in types or u16(rec, 22) in (0, 2) or \
                (n - 1 >= 64 and taken < 10)
            if not interesting:
                continue
            # The record, then the next records (an MFT read through its runs).
            c.add('%s-%d' % (name, n - 1), bytes([opts]) + raw + d[(mft + 2 * n) * SECTOR:(mft + 2 * n + 4) * SECTOR])
            taken += 1


def deepscan_seeds(c, vols, fx):
    """Whole small volumes and damaged ones: formatted, boot sectors gone, FAT
    tables gone, the partition table gone; slices of the deep-scan fixtures."""
    cap = 32768
    fat16, fat32, ntfs, disk = vols['fat16'], vols['fat32'], vols['ntfs'], vols['disk']
    unused = ntfs_unused(ntfs)
    # options: bits 0-1 kind (0 FAT16, 1 FAT32, 2 NTFS, 3 exFAT), bits 2-7 batch - 1.
    c.add('fat16', encode(0 | (59 << 2), sectors_of(fat16), fat16))
    c.add('fat32', encode(1 | (7 << 2), sectors_of(fat32), fat32))
    c.add('ntfs', encode(2 | (15 << 2), sectors_of(ntfs), ntfs, drop=unused))
    c.add('fat16-no-boot-no-fat', encode(0, sectors_of(fat16), blank(fat16, range(0, 40))))
    c.add('ntfs-no-boot', encode(2 | (63 << 2), sectors_of(ntfs), ntfs, drop=unused | {0, sectors_of(ntfs) - 1}))
    dunused = {s + 20608 for s in unused}
    c.add('disk-fat', encode(1 | (59 << 2), sectors_of(disk), disk, drop=dunused | {0}))
    c.add('disk-ntfs', encode(2 | (59 << 2), sectors_of(disk), disk, drop=dunused | {0}))
    for name, kind in (('deep_fat16', 0), ('deep_ntfs', 2), ('deep_disk', 1)):
        d = fx[name]
        keep = structural(d, cap)
        c.add('fixture-' + name, encode(kind | (59 << 2), cap, d, keep))
    # exFAT (kind 3): the volume formatted again, with its boot sectors and
    # without them (the geometry from its loose entry sets).
    for name, seed in exfat_deepscan_seeds(fx['exfat_reformat']):
        c.add(name, seed)


def exfat_deepscan_seeds(d):
    keep = exfat_structural(d, 32768)
    return [('fixture-exfat_reformat', encode(3 | (59 << 2), 32768, d, keep)),
            ('fixture-exfat_reformat-no-boot', encode(3 | (7 << 2), 32768, d, keep, drop={0, 12}))]


def session_seeds(c, vols, fx):
    """Whole small volumes and the small disk, intact and damaged."""
    fat16, fat32, ntfs, disk = vols['fat16'], vols['fat32'], vols['ntfs'], vols['disk']
    unused = ntfs_unused(ntfs)
    dunused = {s + 20608 for s in unused}
    # options: bits 0-1: 0 partition list (bits 2-3 which), 1 FAT16, 2 FAT32, 3 NTFS.
    c.add('fat16', encode(1, sectors_of(fat16), fat16))
    c.add('fat32', encode(2, sectors_of(fat32), fat32))
    c.add('ntfs', encode(3, sectors_of(ntfs), ntfs, drop=unused))
    for p in range(3):
        c.add('disk-partition-%d' % p, encode(p << 2, sectors_of(disk), disk, drop=dunused))
    # The FAT16 volume without boot sector (the geometry is calculated), the
    # NTFS one without its boot sectors (the standard scan fails, the deep
    # scan finds it by its index blocks), the disk without its table.
    c.add('fat16-no-boot', encode(1, sectors_of(fat16), fat16, drop={0}))
    c.add('ntfs-no-boot', encode(3, sectors_of(ntfs), ntfs, drop=unused | {0, sectors_of(ntfs) - 1}))
    c.add('disk-no-table', encode(0, sectors_of(disk), disk, drop=dunused | {0}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--work', required=True)
    ap.add_argument('--fixtures', required=True)
    ap.add_argument('--corpus', required=True)
    a = ap.parse_args()
    vols = {n: read(a.work, n + '.img') for n in ('fat16', 'fat32', 'ntfs', 'disk')}
    fx = {n: fixture(a.fixtures, n) for n in ('sample', 'ebr_loop', 'deep_disk', 'wiped_mbr', 'fat16vol', 'fat32vol',
                                              'ntfs', 'deep_fat16', 'deep_ntfs', 'ebr_slots', 'fatwin16',
                                              'exfat_reformat')}
    for target, make in (('partition', partition_seeds), ('volume_params', volume_params_seeds),
                         ('fat_dir', fat_dir_seeds), ('ntfs_record', ntfs_record_seeds),
                         ('deepscan', deepscan_seeds), ('session', session_seeds)):
        c = Corpus(a.corpus, target)
        make(c, vols, fx)
        c.report()


if __name__ == '__main__':
    main()
