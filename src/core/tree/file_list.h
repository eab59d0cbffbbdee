#pragma once
// The rows of the browse step's file list: a folder's subfolders, then its
// files, in list order. Recovery, Open and the command line read the same
// rows, so the texts shown are the texts acted on.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tree/file_tree.h"
#include "tree/ntfs_file_set.h"

namespace osprin {

// A time as the volume stored it, kept beside the display text for output
// in ISO 8601 (the command line's JSON).
struct StoredTime {
  enum class Kind : std::uint8_t { None, FatLocal, FileTimeUtc };
  Kind kind = Kind::None;
  std::uint16_t fatDate = 0;      // FatLocal: packed date
  std::uint16_t fatTime = 0;      // FatLocal: packed time of day, when hasTimeOfDay
  std::uint8_t fatHundredths = 0; // FatLocal: 10 ms units of a creation time (0-199)
  bool hasTimeOfDay = false;      // FatLocal: whether the volume stored a time of day
  std::uint8_t exfatUtc = 0;      // FatLocal: exFAT's UTC offset byte (bit 7 clear: none stored)
  std::uint64_t fileTime = 0;     // FileTimeUtc: 100 ns units since 1601-01-01 UTC
};

struct ListRow {
  std::string name;
  bool folder = false;
  bool deleted = false;
  std::uint64_t size = 0;  // 0 for folders
  std::string created;     // column "Created" (FAT: the creation date and time)
  std::string modified;    // column "Modified" (FAT: the last-write date and time)
  std::uint64_t id = 0;    // column "ID": tree item, fileIndex or record sector
  StoredTime createdAt;    // the values behind created and modified
  StoredTime modifiedAt;
  std::string stream;      // NTFS: the stream name of a NAME:STREAM row; empty otherwise
  Recoverability recoverable{};  // of deleted records, once assessed
};

// Decides whether a file name passes the filter table (folders always pass).
using FileFilter = std::function<bool(std::string_view name)>;

// "Folder" / "Deleted Folder" for folders; for files the type name given by
// the caller's shell lookup, with "Deleted " in front of deleted ones.
std::string rowTypeText(const ListRow& row, std::string_view fileTypeName);
// True when a type text names a folder ("Folder" or "Deleted Folder", any case).
bool isFolderTypeText(std::string_view type);
// A simple type name from the extension ("TXT File", "File"), for callers
// without a desktop type database.
std::string plainTypeName(std::string_view fileName);

// "01-01-2009 " from a packed FAT date.
std::string fatDateText(std::uint16_t date);
// "01-01-2009 14:05:32" from a packed FAT date and time: the wall-clock time
// the entry holds (FAT keeps local time without a zone), seconds from the
// two-second field plus the whole seconds of hundredths (creation times
// carry 10 ms units, 0-199).
std::string fatDateTimeText(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths = 0);
// "5-3-2004 7:8:9" from an NTFS FILETIME, taken as UTC.
std::string ntfsTimeText(std::uint64_t filetime);

// ISO 8601 texts of stored times. FAT stores local time without a zone:
// "2026-12-07T14:03:22" (no offset), or the date alone "2026-12-07" where
// only a date is stored; "" for a date that names no day (month 0, day 0,
// month 13..15) or a time past 23:59:59.
// hundredths: the 10 ms units of a creation time (0-199), whose whole
// seconds are added.
std::string isoFatTime(std::uint16_t date, std::uint16_t time, bool withTime, std::uint8_t hundredths = 0);
// NTFS (and exFAT) store UTC: "2026-12-07T14:03:22Z"; "" for 0 (not set).
std::string isoFileTime(std::uint64_t filetime);
// The one of the two that t's kind calls for ("" for Kind::None). An exFAT
// time that stores its UTC offset is given in UTC ("...Z").
std::string isoTime(const StoredTime& t);
StoredTime fatStoredDate(std::uint16_t date);
StoredTime fatStoredDateTime(std::uint16_t date, std::uint16_t time, std::uint8_t hundredths = 0,
                             std::uint8_t exfatUtc = 0);
StoredTime fileTimeStored(std::uint64_t filetime);

std::vector<ListRow> listFatFolder(FileTree& tree, std::uint32_t parentCluster, const FileFilter& filter = {});
std::vector<ListRow> listNtfsFolder(FileTree& tree, const NtfsFileSet& files, std::uint32_t parentRecord,
                                    const FileFilter& filter = {});

}  // namespace osprin
