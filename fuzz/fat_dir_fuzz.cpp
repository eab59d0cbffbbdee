// The FAT directory parsers over arbitrary directory sectors: the standard
// scan's parseDirectorySector, the deep scan's parseDirectoryCluster (which
// renames the folders the first pass listed) and assembleLongName for every
// entry, with the sectors before them as the place where long names begin;
// the same bytes as an exFAT folder (its entry sets, every offset) and as a
// FAT of each width, exFAT's included.
//
// Input: byte 0 options (bit 0: FAT32 instead of FAT16; bits 1-2: sectors
// of the input that come before the directory sectors, 0 to 2; bits 3-7:
// the first entry to parse, 31 meaning -1), then those previous sectors,
// then up to 16 directory sectors.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exfat/dir_entry.h"
#include "fat/fat_table.h"
#include "volume/walkers.h"
#include "tree/file_tree.h"
#include "volume/fat_dir.h"
#include "fuzz_check.h"

namespace {

using osprin::fuzz::check;

bool validUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// Names that reach the tree are usable as file names: never empty, never
// "." or "..", no '/' (every one of them comes through isValidName).
void checkName(const std::string& name, bool shortNamesAllowed) {
  check(!name.empty() && name != "." && name != "..");
  check(name.find('/') == std::string::npos);
  check(name.find('\0') == std::string::npos);
  if (!shortNamesAllowed) check(validUtf8(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace osprin;
  if (size < 1) return 0;
  const std::uint8_t options = data[0];
  Bytes rest(data + 1, size - 1);
  const std::size_t previousSectors = (options >> 1) & 3;
  const std::size_t previousBytes = std::min(rest.size(), previousSectors * kSectorSize);
  Bytes previous = rest.first(previousBytes);
  Bytes dir = rest.subspan(previousBytes);
  if (dir.size() > 16 * kSectorSize) dir = dir.first(16 * kSectorSize);
  const int firstEntry = (options >> 3) == 31 ? -1 : (options >> 3);

  DirContext ctx;
  ctx.fsType = (options & 1) ? FsType::Fat32 : FsType::Fat16;
  ctx.previousSector = previous;
  const std::uint32_t parent = 7;

  // The standard scan parses one sector at a time, the sector before it
  // being the previous one.
  FileTree tree;
  bool end = false;
  for (std::size_t s = 0; s * kSectorSize < dir.size() && !end; ++s) {
    Bytes sector = dir.subspan(s * kSectorSize, std::min<std::size_t>(kSectorSize, dir.size() - s * kSectorSize));
    DirContext c = ctx;
    if (s > 0) c.previousSector = dir.subspan((s - 1) * kSectorSize, kSectorSize);
    parseDirectorySector(sector, c, parent, end, static_cast<SectorNo>(100 + s), s == 0 && (options & 0x80),
                         s == 0 ? firstEntry : 0, tree, 0, nullObserver());
  }
  for (const auto& f : tree.fatFolders) checkName(f.name, true);
  for (const auto& f : tree.fatFiles) checkName(f.name, true);
  const std::size_t folders = tree.fatFolders.size();

  // The deep scan's variant over the same sectors renames the folders just
  // listed and adds the files once more.
  end = false;
  parseDirectoryCluster(dir, ctx, parent, end, 100, static_cast<std::uint32_t>(dir.size() / kSectorSize), false,
                        firstEntry, tree);
  check(tree.fatFolders.size() == folders);  // the cluster parser never adds folders
  for (const auto& f : tree.fatFolders) checkName(f.name, true);
  for (const auto& f : tree.fatFiles) checkName(f.name, true);

  // Every entry of the first sector, and an index past its end.
  Bytes first = dir.first(std::min<std::size_t>(kSectorSize, dir.size()));
  std::string name;
  for (int e = -1; e <= 17; ++e) {
    name.clear();
    if (assembleLongName(first, previous, e, name)) {
      check(!name.empty());
      check(validUtf8(name));
      check(name.size() <= 255 * 3);
    }
  }

  // The same bytes as an exFAT folder: every set that passes has a usable
  // name of at most 255 UTF-16 units and a valid length within its size;
  // a set read at any entry offset stays inside the bytes.
  FileTree exTree;
  ExfatListing listing;
  addExfatEntries(dir, parent, (options & 0x80) != 0, exTree, listing);
  for (const auto& f : exTree.fatFolders) checkName(f.name, false);
  for (const auto& f : exTree.fatFiles) {
    checkName(f.name, false);
    check(f.validLength <= f.size);
  }
  for (std::size_t off = 0; off + exfat::kEntryBytes <= dir.size(); off += exfat::kEntryBytes) {
    ExfatEntrySet set;
    const ExfatEntryKind k = readExfatEntry(dir, off, set);
    check(set.entries >= 1 && off + set.entries * exfat::kEntryBytes <= dir.size());
    if (k == ExfatEntryKind::FileSet) {
      check(set.name.size() <= 255 * 3);
      check(set.deleted ? set.checksumOk : true);
    }
  }

  // The directory sectors read as a FAT of that width: every chain from the
  // clusters they name ends, without a repeated cluster, inside the table.
  SectorReader reader(std::make_unique<MemoryBlockSource>(std::string(dir.begin(), dir.end())));
  const bool fat32 = ctx.fsType == FsType::Fat32;
  const std::uint64_t units = dir.size() / kSectorSize;
  // exFAT's entries are as wide as FAT32's; its end marks differ.
  const FsType width = (options & 0x40) && fat32 ? FsType::Exfat : ctx.fsType;
  FatTable fat(reader, 1, units > 0 ? units - 1 : 0, width);  // the table from the second unit on
  for (std::uint32_t c = 0; c < 64; ++c) {
    const FatTable::Chain chain = fat.follow(c, 5000);
    check(!chain.clusters.empty() && chain.clusters.size() <= 5000);
    std::vector<std::uint32_t> sorted = chain.clusters;
    std::sort(sorted.begin(), sorted.end());
    check(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    for (std::size_t k = 1; k < chain.clusters.size(); ++k)
      check(chain.clusters[k] / fatEntriesPerUnit(fat32) < units - 1);
  }
  return 0;
}
