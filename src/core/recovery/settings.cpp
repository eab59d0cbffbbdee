#include "recovery/settings.h"

#include "common/text.h"

namespace osprin {

namespace {
bool validDuplicate(std::uint32_t c) { return c >= 1 && c <= 3; }
bool validDeleted(std::uint32_t c) { return c >= 1 && c <= 3; }
}  // namespace

bool RecoverySettings::valid() const {
  return sectorsPerRead >= kMinSectorsPerRead && sectorsPerRead <= kMaxSectorsPerRead &&
         badSectorRetries >= kMinRetries && badSectorRetries <= kMaxRetries &&
         validDuplicate(static_cast<std::uint32_t>(duplicatePolicy)) &&
         validDeleted(static_cast<std::uint32_t>(deletedPolicy));
}

bool RecoverySettings::setSectorsPerRead(std::uint32_t n) {
  if (n < kMinSectorsPerRead || n > kMaxSectorsPerRead) return false;
  sectorsPerRead = n;
  return true;
}

bool RecoverySettings::setBadSectorRetries(std::uint32_t n) {
  if (n < kMinRetries || n > kMaxRetries) return false;
  badSectorRetries = static_cast<std::uint16_t>(n);
  return true;
}

bool RecoverySettings::setDuplicatePolicy(std::uint32_t code) {
  if (!validDuplicate(code)) return false;
  duplicatePolicy = static_cast<DuplicatePolicy>(code);
  return true;
}

bool RecoverySettings::setDeletedPolicy(std::uint32_t code) {
  if (!validDeleted(code)) return false;
  deletedPolicy = static_cast<DeletedPolicy>(code);
  return true;
}

bool RecoverySettings::takesDeletedState(bool deleted) const {
  switch (deletedPolicy) {
    case DeletedPolicy::OnlyDeleted:
      return deleted;
    case DeletedPolicy::ExcludeDeleted:
      return !deleted;
    case DeletedPolicy::Include:
      break;
  }
  return true;
}

std::string_view duplicatePolicyText(DuplicatePolicy p) {
  switch (p) {
    case DuplicatePolicy::Rename:
      return "Rename duplicate file(s)";
    case DuplicatePolicy::Overwrite:
      return "Overwrite duplicate file(s)";
    case DuplicatePolicy::Skip:
      return "Skip duplicate file(s)";
  }
  return "";
}

std::string_view deletedPolicyText(DeletedPolicy p) {
  switch (p) {
    case DeletedPolicy::Include:
      return "Include deleted file(s)";
    case DeletedPolicy::OnlyDeleted:
      return "Recover only deleted file(s)";
    case DeletedPolicy::ExcludeDeleted:
      return "Exclude deleted file(s)";
  }
  return "";
}

std::optional<DuplicatePolicy> parseDuplicatePolicy(std::string_view word) {
  const std::string w = asciiUpper(word);
  if (w == "RENAME") return DuplicatePolicy::Rename;
  if (w == "OVERWRITE") return DuplicatePolicy::Overwrite;
  if (w == "SKIP") return DuplicatePolicy::Skip;
  return std::nullopt;
}

std::optional<DeletedPolicy> parseDeletedPolicy(std::string_view word) {
  const std::string w = asciiUpper(word);
  if (w == "INCLUDE") return DeletedPolicy::Include;
  if (w == "ONLY") return DeletedPolicy::OnlyDeleted;
  if (w == "EXCLUDE") return DeletedPolicy::ExcludeDeleted;
  return std::nullopt;
}

}  // namespace osprin
