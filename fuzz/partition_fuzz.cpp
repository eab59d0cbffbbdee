// The partition table reader, the extended chain, the GUID partition table
// (headers, entry arrays, the backup) and the lost partition search over an
// arbitrary disk, in the sector size its contents show (512 to 4,096 bytes).
#include <cstddef>
#include <cstdint>
#include <string>

#include "disk/sector_reader.h"
#include "gpt/gpt.h"
#include "partition/lost_search.h"
#include "partition/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  SectorReader reader(std::make_unique<MemoryBlockSource>(std::string(reinterpret_cast<const char*>(data), size)));
  reader.setSectorSize(detectSectorSize(*reader.source()));
  std::vector<std::string> warnings;
  for (SectorNo table : {0u, 61u, 62u}) (void)readPartitionTable(reader, table, &warnings);
  (void)readPartitionTables(reader, &warnings);
  // The header parser on the input's second sector and the entries on the
  // rest, whatever the CRCs say.
  const Bytes all(data, size);
  gpt::Header h;
  if (size >= 2 * kSectorSize) {
    (void)gpt::parseHeader(all.subspan(kSectorSize, kSectorSize), 1, size / kSectorSize, h);
    (void)gpt::parseEntries(all.subspan(2 * kSectorSize), h);
  }
  if (size >= 2 * 4096) (void)gpt::parseHeader(all.subspan(4096, 4096), 1, size / 4096, h);
  DriveInfo drive = translatedGeometry(size / kSectorSize);
  drive.heads = 2;  // small cylinders, so that a short input has several
  drive.cylinders = static_cast<std::uint32_t>(size / (2 * 63 * kSectorSize)) + 1;
  drive.sectorsPerTrack = 63;
  StopFlag stop{0};
  (void)searchLostPartitions(reader, drive, stop, nullObserver());
  return 0;
}
