#pragma once
// The $DATA attributes of an NTFS file record as recovery reads them: which
// stream, resident or not, compressed, encrypted or sparse, and the sizes;
// and what else in the record keeps the stored bytes from being the file's
// content (EFS encryption, a reparse point of a kind not decoded here).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "ntfs/record_header.h"

namespace osprin {

// Calls f(position, type, length) for each attribute of a record until f
// returns true, an end marker, a length below 8 or an attribute that
// reaches past the record.
template <class F>
void eachAttribute(Bytes rec, F f) {
  std::size_t p = rd16(rec, ntfsrec::kFirstAttribute);
  while (p < rec.size() && rec.size() - p >= 16) {
    const std::uint32_t type = rd32(rec, p);
    if (type == 0 || type == 0xFFFFFFFF) return;
    const std::uint32_t len = rd32(rec, p + 4);
    if (len < 16 || len > rec.size() - p) return;
    if (f(p, type, len)) return;
    p += len;
  }
}

constexpr std::uint16_t kAttrFlagCompressed = 0x0001;
constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;
constexpr std::uint16_t kAttrFlagSparse = 0x8000;
constexpr std::uint32_t kFileAttrEncrypted = 0x4000;  // $STANDARD_INFORMATION file attributes

struct NtfsDataAttr {
  bool found = false;
  bool resident = false;
  std::size_t offset = 0;        // of the attribute in the record
  std::uint16_t flags = 0;       // kAttrFlag...
  unsigned compressionUnit = 0;  // log2 of the clusters per compression unit; 0 not compressed
  std::uint64_t lowestVcn = 0;
  std::uint64_t dataSize = 0;    // real size (resident: the value length)
  std::uint64_t initSize = 0;    // initialised size (valid data length); resident: the value length
  std::string stream;            // UTF-8 name of a named stream; empty for the file's data
  bool compressed() const { return !resident && (flags & kAttrFlagCompressed) != 0 && compressionUnit != 0; }
  bool encrypted() const { return (flags & kAttrFlagEncrypted) != 0; }
};

// The $DATA attribute of one stream ("" the unnamed one) that begins the
// stream (lowest VCN 0 when non-resident). found is false when the record
// holds none.
NtfsDataAttr findDataAttribute(Bytes record, std::string_view stream);

// The header of the $DATA attribute at offset (found false when it does not
// fit the record or does not begin its stream).
NtfsDataAttr dataAttributeAt(Bytes record, std::size_t offset);

// The named $DATA attributes of a record that begin their streams, in
// record order.
std::vector<NtfsDataAttr> namedDataAttributes(Bytes record);

// Why a file's stored bytes are not its content, as far as one record tells.
enum class StoredForm {
  Plain,
  Encrypted,  // EFS: the file attribute 0x4000, a $DATA flagged encrypted, or a $EFS stream
  Reparse,    // a reparse point whose data lives elsewhere (WOF/CompactOS, cloud placeholders, ...)
};
StoredForm storedFormOf(Bytes record, const NtfsDataAttr& data);

// The tag of the record's $REPARSE_POINT; 0 when it has none.
std::uint32_t reparseTag(Bytes record);

// The times Windows shows for a record: those of $STANDARD_INFORMATION
// (creation, last write); a time of 0 there leaves the value given. False
// when the record has none.
bool standardInformationTimes(Bytes record, std::uint64_t& created, std::uint64_t& modified);

}  // namespace osprin
