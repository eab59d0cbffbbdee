#pragma once
// NTFS file-record routines shared by the MFT walker, the deep scan and
// recovery. Every routine stays inside the buffer it is given, whatever the
// record says.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/types.h"
#include "disk/sector_reader.h"

namespace osprin {

// The usual size of a file record, and the largest (volumes of 4,096-byte
// sectors have records of 4,096 bytes).
constexpr std::size_t kMftRecordSize = 1024;
constexpr std::size_t kMaxMftRecordSize = 4096;

// The 512-byte sectors of the record that begins rec, from its header's
// allocated size (1,024 to 4,096 bytes); 2 when that field holds no such size.
std::uint32_t recordUnits(Bytes rec);

// Restores the last two bytes of each 512-byte sector of rec from the update
// sequence array (the check value is not compared).
void applyFixup(std::span<std::uint8_t> rec);

// Reads the file record at sector into out (at most out.size() bytes, as
// many as the record's header gives) and applies the fixup. False, with
// out zeroed past what was read, when it does not begin with "FILE".
bool readRecordAt(SectorReader& reader, SectorNo sector, std::span<std::uint8_t> out);

struct FileNameInfo {
  std::string name;  // UTF-8
  std::uint32_t parentRecord = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t changeTime = 0;  // last write (the file name's modification time)
  std::uint64_t nameCreationTime = 0;  // the file name's own creation time (the key of index entries)
};

// The unnamed file-name attribute of the given namespace (0 POSIX, 1 Win32,
// 2 DOS, 3 Win32 and DOS) in one record.
bool findFileName(Bytes record, int nameSpace, FileNameInfo& out);
// Namespaces 1, 3, 2, then 0: the first found wins.
bool findPreferredFileName(Bytes record, FileNameInfo& out);
// Every file name of a record but the DOS ones (a file with hard links has
// several), in record order.
std::vector<FileNameInfo> linkNames(Bytes record);
// The size of the unnamed data attribute (real size when non-resident).
bool findDataSize(Bytes record, std::uint64_t& size);

// Up to 50 record numbers holding the attributes of one record: the record
// itself first, then the base references of its resident attribute list.
// A record already in refs is not added again.
constexpr std::size_t kMaxRecordRefs = 50;
void collectAttributeList(Bytes record, std::vector<std::uint32_t>& refs);
// The same, and a non-resident attribute list is read through its runs (at
// most 300 runs and 256 KiB).
void collectAttributeList(SectorReader& reader, SectorNo clusterBase, std::uint32_t sectorsPerCluster, Bytes record,
                          std::vector<std::uint32_t>& refs);

// The runs of the MFT's own data, in sectors.
struct MftRuns {
  std::vector<SectorNo> runStart;         // 0 for a sparse run
  std::vector<std::uint32_t> runLength;   // in sectors
  std::uint32_t sectorsPerRecord = 2;     // 8 for records of 4,096 bytes
  // The sector of record n (record n lies at offset sectorsPerRecord * n in
  // the runs); 0 when beyond the last run or in a sparse run.
  SectorNo recordSector(std::uint32_t n) const;
  // The sector at an offset (in sectors) into the runs; 0 as above.
  SectorNo sectorAt(std::uint64_t offset) const;
  std::uint64_t totalSectors() const;
  void clear() {
    runStart.clear();
    runLength.clear();
    sectorsPerRecord = 2;
  }
  std::size_t size() const { return runStart.size(); }
};

// Reads record 0 at mftStart and decodes the MFT's data runs (following its
// attribute list when the MFT is spread over several records). When record 0
// cannot be read or is damaged (no "FILE", no runs), its copy at
// mftMirrorStart (when given) is used and *usedMirror set.
MftRuns readMftRuns(SectorReader& reader, SectorNo clusterBase, SectorNo mftStart, std::uint32_t sectorsPerCluster,
                    SectorNo mftMirrorStart = 0, bool* usedMirror = nullptr);

// The base record of an extension record found at extSector, located by
// the numbers NTFS 3.1 records carry in their header (the base lies
// (own number - base number) records before, when the MFT is contiguous
// between them). False, with out zeroed, when the record is no extension
// record, carries no numbers, or the record found there is not that base.
bool readBaseRecord(SectorReader& reader, Bytes ext, SectorNo extSector, std::span<std::uint8_t> out,
                    SectorNo& baseSector);

// The records of one file where no MFT runs are known (a deep scan): the
// record at `sector`, its base record when it is an extension record, and
// the extension records named by the base's attribute list, each located by
// the header numbers as above and taken only when it carries the number
// asked for and names the base. A non-resident attribute list is read only
// when sectorsPerCluster is not 0. The record at `sector` comes first.
struct LocatedRecord {
  SectorNo sector = 0;
  std::array<std::uint8_t, kMaxMftRecordSize> bytes{};
};
std::vector<LocatedRecord> recordsOfFile(SectorReader& reader, Bytes record, SectorNo sector, SectorNo clusterBase = 0,
                                         std::uint32_t sectorsPerCluster = 0);

// Reads record n through the runs (each of its sectors where the runs put
// it) and applies the fixup. out holds at least runs.sectorsPerRecord sectors. False, with out zeroed, when the record is
// beyond the runs or is not a file record.
bool readMftRecord(SectorReader& reader, const MftRuns& runs, std::uint32_t n, std::span<std::uint8_t> out);

}  // namespace osprin
