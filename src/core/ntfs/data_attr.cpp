#include "ntfs/data_attr.h"

#include "common/text.h"

namespace osprin {

namespace {

constexpr std::uint32_t kAttrStandardInformation = 0x10;
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrReparsePoint = 0xC0;
constexpr std::uint32_t kAttrLoggedUtilityStream = 0x100;

constexpr std::uint32_t kTagMountPoint = 0xA0000003;
constexpr std::uint32_t kTagSymlink = 0xA000000C;

std::string attributeName(Bytes a) {
  const std::size_t chars = rd8(a, 9);
  if (chars == 0) return {};
  const std::size_t at = rd16(a, 10);
  if (at > a.size() || (a.size() - at) / 2 < chars) return {};
  return utf16leToUtf8(a, at, chars, false);
}

// Reads the header of the $DATA attribute at p (len bytes); false when it
// does not begin its stream or its header does not fit.
bool readData(Bytes rec, std::size_t p, std::uint32_t len, NtfsDataAttr& d) {
  const Bytes a = rec.subspan(p, len);
  d.offset = p;
  d.flags = rd16(a, 12);
  const std::uint8_t nonResident = rd8(a, 8);
  if (nonResident > 1) return false;
  d.resident = nonResident == 0;
  if (d.resident) {
    if (a.size() < 24) return false;
    d.dataSize = d.initSize = rd32(a, 16);
    d.compressionUnit = 0;
    return true;
  }
  if (a.size() < 64) return false;
  d.lowestVcn = rd64(a, 16);
  if (d.lowestVcn != 0) return false;  // a later piece of a stream spread over records
  d.compressionUnit = rd8(a, 34);
  if (d.compressionUnit > 16) d.compressionUnit = 0;  // not a unit any volume uses
  d.dataSize = rd64(a, 48);
  d.initSize = rd64(a, 56);
  return true;
}

}  // namespace

NtfsDataAttr findDataAttribute(Bytes rec, std::string_view stream) {
  NtfsDataAttr out;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t len) {
    if (type != kAttrData) return false;
    const Bytes a = rec.subspan(p, len);
    if ((rd8(a, 9) == 0) != stream.empty()) return false;
    std::string name = attributeName(a);
    if (name != stream) return false;
    NtfsDataAttr d;
    if (!readData(rec, p, len, d)) return false;
    d.stream = std::move(name);
    d.found = true;
    out = std::move(d);
    return true;
  });
  return out;
}

NtfsDataAttr dataAttributeAt(Bytes rec, std::size_t p) {
  NtfsDataAttr d;
  if (p >= rec.size() || rec.size() - p < 16) return d;
  const std::uint32_t len = rd32(rec, p + 4);
  if (len < 16 || len > rec.size() - p) return d;
  d.stream = attributeName(rec.subspan(p, len));
  d.found = readData(rec, p, len, d);
  return d;
}

std::vector<NtfsDataAttr> namedDataAttributes(Bytes rec) {
  std::vector<NtfsDataAttr> out;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t len) {
    if (type != kAttrData || rd8(rec, p + 9) == 0) return false;
    NtfsDataAttr d;
    d.stream = attributeName(rec.subspan(p, len));
    if (d.stream.empty() || !readData(rec, p, len, d)) return false;
    d.found = true;
    out.push_back(std::move(d));
    return out.size() >= 256;  // far more than a record can hold
  });
  return out;
}

std::uint32_t reparseTag(Bytes rec) {
  std::uint32_t tag = 0;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t len) {
    if (type != kAttrReparsePoint) return false;
    const Bytes a = rec.subspan(p, len);
    if (rd8(a, 8) == 0) {
      const std::size_t v = rd16(a, 20);
      tag = v + 4 <= a.size() ? rd32(a, v) : 0;
    }
    // A non-resident reparse point: its tag is not in the record; any tag
    // other than 0 says "not decoded".
    if (tag == 0) tag = 0xFFFFFFFF;
    return true;
  });
  return tag;
}

StoredForm storedFormOf(Bytes rec, const NtfsDataAttr& data) {
  if (data.encrypted()) return StoredForm::Encrypted;
  bool efs = false;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t len) {
    const Bytes a = rec.subspan(p, len);
    if (type == kAttrStandardInformation && rd8(a, 8) == 0) {
      const std::size_t v = rd16(a, 20);
      if (v + 36 <= a.size() && (rd32(a, v + 32) & kFileAttrEncrypted) != 0) efs = true;
    } else if (type == kAttrLoggedUtilityStream && attributeName(a) == "$EFS") {
      efs = true;
    }
    return efs;
  });
  if (efs) return StoredForm::Encrypted;
  const std::uint32_t tag = reparseTag(rec);
  if (tag != 0 && tag != kTagMountPoint && tag != kTagSymlink) return StoredForm::Reparse;
  return StoredForm::Plain;
}

bool standardInformationTimes(Bytes rec, std::uint64_t& created, std::uint64_t& modified) {
  bool found = false;
  eachAttribute(rec, [&](std::size_t p, std::uint32_t type, std::uint32_t len) {
    if (type != kAttrStandardInformation || rd8(rec, p + 8) != 0) return false;
    const Bytes a = rec.subspan(p, len);
    const std::size_t v = rd16(a, 20);
    if (v > a.size() || a.size() - v < 16) return true;
    // A time of 0 names none (mkntfs leaves $MFT's so): the caller's stays.
    const std::uint64_t c = rd64(a, v), m = rd64(a, v + 8);
    if (c != 0) created = c;
    if (m != 0) modified = m;
    found = c != 0 || m != 0;
    return true;
  });
  return found;
}

}  // namespace osprin
