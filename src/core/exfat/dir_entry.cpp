#include "exfat/dir_entry.h"

#include "common/text.h"

namespace osprin {

using namespace exfat;

std::uint16_t exfatSetChecksum(Bytes dir, std::size_t off, std::size_t count) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < count * kEntryBytes; ++i) {
    if (i == 2 || i == 3) continue;
    std::uint8_t b = rd8(dir, off + i);
    if (i % kEntryBytes == 0) b |= kInUse;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000u : 0u) + (sum >> 1) + b);
  }
  return sum;
}

FatTimes exfatEntryTimes(Bytes e) {
  FatTimes t;
  const std::uint32_t created = rd32(e, 8), modified = rd32(e, 12), accessed = rd32(e, 16);
  t.createTime = static_cast<std::uint16_t>(created);
  t.createDate = static_cast<std::uint16_t>(created >> 16);
  t.writeTime = static_cast<std::uint16_t>(modified);
  t.writeDate = static_cast<std::uint16_t>(modified >> 16);
  t.accessDate = static_cast<std::uint16_t>(accessed >> 16);
  t.createHundredths = rd8(e, 20) <= 199 ? rd8(e, 20) : 0;
  t.writeHundredths = rd8(e, 21) <= 199 ? rd8(e, 21) : 0;
  t.createUtc = rd8(e, 22);
  t.writeUtc = rd8(e, 23);
  return t;
}

ExfatEntryKind readExfatEntry(Bytes dir, std::size_t off, ExfatEntrySet& out) {
  out = ExfatEntrySet{};
  out.entries = 1;
  if (off >= dir.size() || dir.size() - off < kEntryBytes) return ExfatEntryKind::End;
  const std::uint8_t type = rd8(dir, off);
  if (type == kTypeEnd) return ExfatEntryKind::End;
  if ((type & ~kInUse) != (kTypeFile & ~kInUse)) return ExfatEntryKind::Other;
  const bool live = (type & kInUse) != 0;
  const std::uint8_t secondaries = rd8(dir, off + 1);
  if (secondaries < kMinSecondaries) return ExfatEntryKind::Other;
  const std::size_t count = std::size_t{secondaries} + 1;
  if ((dir.size() - off) / kEntryBytes < count) return ExfatEntryKind::Other;
  for (std::size_t i = 1; i < count; ++i) {
    const std::uint8_t t = rd8(dir, off + i * kEntryBytes);
    if ((t & kSecondary) == 0 || ((t & kInUse) != 0) != live) return ExfatEntryKind::Other;
  }
  const std::size_t stream = off + kEntryBytes;
  if ((rd8(dir, stream) & ~kInUse) != (kTypeStream & ~kInUse)) return ExfatEntryKind::Other;
  out.checksumOk = exfatSetChecksum(dir, off, count) == rd16(dir, off + 2);
  if (!live && !out.checksumOk) return ExfatEntryKind::Other;

  const std::size_t nameUnits = rd8(dir, stream + 3);
  if (nameUnits == 0) return ExfatEntryKind::Other;
  char16_t units[kMaxNameUnits];
  std::size_t got = 0;
  for (std::size_t i = 2; i < count && got < nameUnits; ++i) {
    const std::size_t e = off + i * kEntryBytes;
    if ((rd8(dir, e) & ~kInUse) != (kTypeName & ~kInUse)) break;  // the names end; vendor entries may follow
    for (std::size_t k = 0; k < kNameUnitsPerEntry && got < nameUnits; ++k)
      units[got++] = static_cast<char16_t>(rd16(dir, e + 2 + 2 * k));
  }
  if (got == 0) return ExfatEntryKind::Other;
  out.name = utf16ToUtf8(units, got);
  if (out.name.empty() || !isValidName(out.name, true)) return ExfatEntryKind::Other;

  const Bytes file = dir.subspan(off, kEntryBytes);
  out.attributes = rd16(file, 4);
  out.times = exfatEntryTimes(file);
  const std::uint8_t flags = rd8(dir, stream + 1);
  out.noFatChain = (flags & kFlagNoFatChain) != 0;
  out.validLength = rd64(dir, stream + 8);
  out.firstCluster = rd32(dir, stream + 20);
  out.dataLength = rd64(dir, stream + 24);
  if (out.validLength > out.dataLength) out.validLength = out.dataLength;
  out.deleted = !live;
  out.entries = count;
  return ExfatEntryKind::FileSet;
}

bool exfatLooksLikeFolderCluster(Bytes cluster) {
  bool allKnown = true, anyUsed = false;
  ExfatEntrySet set;
  for (std::size_t off = 0; off + kEntryBytes <= cluster.size(); off += kEntryBytes) {
    const std::uint8_t type = cluster[off];
    if (readExfatEntry(cluster, off, set) == ExfatEntryKind::FileSet && set.checksumOk) return true;
    if (type != kTypeEnd) anyUsed = true;
    switch (type & ~kInUse) {
      case kTypeEnd: case kTypeFile & ~kInUse: case kTypeStream & ~kInUse: case kTypeName & ~kInUse:
        break;
      default:
        allKnown = false;
    }
  }
  return allKnown && anyUsed;
}

ExfatSystemEntry readExfatSystemEntry(Bytes dir, std::size_t off) {
  ExfatSystemEntry s;
  s.flags = rd8(dir, off + 1);
  s.firstCluster = rd32(dir, off + 20);
  s.dataLength = rd64(dir, off + 24);
  return s;
}

}  // namespace osprin
