#include "common/types.h"

#include <cctype>
#include <string>

namespace osprin {

std::string_view fsTypeText(FsType t) {
  switch (t) {
    case FsType::Fat16: return "FAT16";
    case FsType::Fat32: return "FAT32";
    case FsType::Ntfs: return "NTFS";
    case FsType::Exfat: return "exFAT";
    default: return "";
  }
}

FsType parseFsType(std::string_view text) {
  std::string up;
  for (char c : text) up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (up == "FAT16") return FsType::Fat16;
  if (up == "FAT32") return FsType::Fat32;
  if (up == "NTFS") return FsType::Ntfs;
  if (up == "EXFAT") return FsType::Exfat;
  return FsType::None;
}

}  // namespace osprin
