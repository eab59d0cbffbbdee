// The NTFS file-record routines over an arbitrary record: the fixup, the
// file-name and data-size lookups, the attribute list (resident, and
// non-resident through the disk), the MFT's own runs with its attribute
// list, the records read through those runs, the deep scan's index-root and
// index-allocation lookups, recovery's data-attribute and run decoders, the
// $DATA attribute headers (streams, compression, encryption, reparse
// points), the compression units of the runs, and LZNT1 over the sectors
// that follow the record.
//
// Input: byte 0 options (bits 0-2: sectors per cluster 1 to 128 as a power
// of two; bits 3-7: the cluster base, in sectors), then the disk: the record
// in its first 1024 bytes, and whatever sectors follow (attribute lists,
// extension records, the MFT's later records). At most 1 MiB.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "deepscan/signature_scan.h"
#include "ntfs/compression.h"
#include "ntfs/data_attr.h"
#include "ntfs/lznt1.h"
#include "disk/sector_reader.h"
#include "recovery/extract.h"
#include "ntfs/record.h"
#include "fuzz_check.h"

namespace {

using osprin::fuzz::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  if (size < 1 || size > (1u << 20)) return 0;
  const std::uint8_t options = data[0];
  const std::uint32_t spc = 1u << (options & 7);
  const SectorNo clusterBase = options >> 3;
  std::string disk(reinterpret_cast<const char*>(data + 1), size - 1);

  // The record as the walkers hold it: 1024 bytes, fixed up.
  std::array<std::uint8_t, kMftRecordSize> rec{};
  std::memcpy(rec.data(), disk.data(), std::min(disk.size(), rec.size()));
  applyFixup(rec);
  const Bytes r(rec);

  FileNameInfo fn;
  for (int ns = 0; ns <= 3; ++ns) {
    if (findFileName(r, ns, fn)) check(fn.name.size() <= 255 * 3);
  }
  if (findPreferredFileName(r, fn)) check(fn.name.size() <= 255 * 3);
  std::uint64_t dataSize = 0;
  (void)findDataSize(r, dataSize);

  std::vector<std::uint32_t> refs{0};
  collectAttributeList(r, refs);
  check(refs.size() <= kMaxRecordRefs);

  // The same lookups on a record cut short: every routine stays inside
  // what it is given.
  for (std::size_t cut : {std::size_t{0}, std::size_t{21}, std::size_t{100}, std::size_t{600}}) {
    const Bytes part = r.first(cut);
    (void)findPreferredFileName(part, fn);
    (void)findDataSize(part, dataSize);
    std::vector<std::uint32_t> partRefs;
    collectAttributeList(part, partRefs);
    (void)findUnnamedData(part);
    (void)ownRecordNumberFromIndexRoot(part);
    (void)indexAllocationFirstCluster(part);
  }

  // The deep scan's lookups.
  (void)ownRecordNumberFromIndexRoot(r);
  (void)indexAllocationFirstCluster(r);

  // Recovery's decoders.
  const DataAttribute a = findUnnamedData(r);
  if (a.found) {
    check(a.offset < kMftRecordSize);
    if (!a.resident) {
      const RunList runs = decodeDataRuns(r, a.offset);
      for (const DataRun& run : runs.runs) check(run.sparse || run.startCluster >= 0);
    }
  }
  for (std::size_t at : {std::size_t{0}, std::size_t{56}, std::size_t{1000}, std::size_t{1023}, std::size_t{5000}})
    (void)decodeDataRuns(r, at);

  // The $DATA headers, and the compression units of the unnamed data's runs.
  const NtfsDataAttr unnamed = findDataAttribute(r, "");
  (void)storedFormOf(r, unnamed);
  std::uint64_t created = 0, modified = 0;
  (void)standardInformationTimes(r, created, modified);
  for (const NtfsDataAttr& d : namedDataAttributes(r)) {
    check(d.found && !d.stream.empty());
    const NtfsDataAttr again = findDataAttribute(r, d.stream);
    check(again.found);
    check(dataAttributeAt(r, d.offset).found);
  }
  if (unnamed.found && !unnamed.resident) {
    const RunList dataRuns = decodeDataRuns(r, unnamed.offset);
    std::vector<ClusterExtent> extents;
    for (const DataRun& run : dataRuns.runs)
      extents.push_back(ClusterExtent{static_cast<std::uint64_t>(run.startCluster), run.length, run.sparse});
    UnitWalker units(extents);
    const std::uint64_t unitClusters = std::uint64_t{1} << std::min(unnamed.compressionUnit, 4u);
    for (int i = 0; i < 64; ++i) {
      const UnitPlan plan = units.next(unitClusters);
      if (plan.listed == 0) break;
      check(plan.listed <= unitClusters);
      std::uint64_t allocated = 0;
      for (const ClusterExtent& piece : plan.pieces) allocated += piece.count;
      check(allocated <= plan.listed);
    }
  }

  // LZNT1 over what follows the record, into a unit of 64 KiB and into a
  // buffer cut short.
  if (disk.size() > kMftRecordSize) {
    const Bytes packed(reinterpret_cast<const std::uint8_t*>(disk.data()) + kMftRecordSize, disk.size() - kMftRecordSize);
    std::vector<std::uint8_t> plain(65536);
    check(lznt1Decompress(packed, plain).produced <= plain.size());
    std::vector<std::uint8_t> small(100);
    check(lznt1Decompress(packed, small).produced <= small.size());
  }

  // Through the disk: the record is at sector 0 and is the MFT's record 0.
  SectorReader reader(std::make_unique<MemoryBlockSource>(std::move(disk)));
  std::vector<std::uint32_t> diskRefs{0};
  collectAttributeList(reader, clusterBase, spc, r, diskRefs);
  check(diskRefs.size() <= kMaxRecordRefs);

  const MftRuns runs = readMftRuns(reader, clusterBase, 0, spc);
  check(runs.runStart.size() == runs.runLength.size());
  std::array<std::uint8_t, kMaxMftRecordSize> other{};
  const std::uint64_t records = runs.totalSectors() / runs.sectorsPerRecord;
  for (std::uint32_t n = 0; n < records && n < 64; ++n) {
    if (readMftRecord(reader, runs, n, other)) check(std::memcmp(other.data(), "FILE", 4) == 0);
  }
  (void)runs.recordSector(0xFFFFFFFFu);
  return 0;
}
