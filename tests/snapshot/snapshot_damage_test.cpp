// Snapshot files that are not ours, damaged or hostile, and saves that fail.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>

#include "snapshot/snapshot.h"
#include "snapshot_trees.h"
#include "support/fixtures.h"

namespace osprin::test {
namespace {

const std::string kDamagedPrefix = "The snapshot file is damaged: ";

std::vector<std::uint8_t> fatImage() {
  FileTree tree;
  fillFatTree(tree);
  SnapshotSource src{sampleSelection(FsType::Fat16), sampleParams(FsType::Fat16), 1, &tree, {}, {}};
  std::vector<std::uint8_t> b;
  std::string error;
  EXPECT_TRUE(encodeSnapshot(src, b, error)) << error;
  return b;
}

std::vector<std::uint8_t> ntfsImage() {
  FileTree tree;
  fillNtfsTree(tree);
  SnapshotSource src{sampleSelection(FsType::Ntfs), sampleParams(FsType::Ntfs), 1, &tree, {}, {}};
  std::vector<std::uint8_t> b;
  std::string error;
  EXPECT_TRUE(encodeSnapshot(src, b, error)) << error;
  return b;
}

// A state loaded before: a failed load must leave every bit of it alone.
struct Sentinel {
  LoadedSnapshot state;
  std::vector<std::uint8_t> bytes;
  Sentinel() {
    FileTree tree;
    tree.addFatFolder("KEEP", 9, 0, 1, 2, false);
    tree.addFatFile("keep.txt", 10, 9, 3, 4, 5, false);
    ++tree.fileCount;
    SnapshotSource src{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 6, &tree, {}, {}};
    std::string error;
    EXPECT_TRUE(encodeSnapshot(src, bytes, error));
    EXPECT_EQ(loadSnapshotBytes(bytes, state, error), SnapshotLoadStatus::Ok);
    state.params.rootDirStart = 77;  // as the caller would hold it
  }
  void expectUntouched() const {
    // Re-encoding gives the very same bytes, and the fields outside the file too.
    SnapshotSource src{state.selection, state.params, state.chosenFsIndex, &state.tree, {}, {}};
    std::vector<std::uint8_t> now;
    std::string error;
    ASSERT_TRUE(encodeSnapshot(src, now, error));
    EXPECT_EQ(now, bytes);
    EXPECT_EQ(state.params.rootDirStart, 77u);
    EXPECT_EQ(state.tree.folderCount, 1u);
    EXPECT_EQ(state.tree.fileCount, 1u);
  }
};

SnapshotLoadStatus load(const std::vector<std::uint8_t>& b, LoadedSnapshot& out, std::string& error) {
  return loadSnapshotBytes(b, out, error);
}

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// -------------------------------------------------------------- open, magic, version

// Duplicate folder records (a hostile or damaged snapshot): each folder is
// loaded once, so nested duplicates cannot multiply the tree; files are not
// shown more often than they are listed.
TEST(SnapshotLoad, DuplicateFolderRecordsDoNotMultiplyTheTree) {
  FileTree tree;
  for (int copy = 0; copy < 20; ++copy) {
    tree.addNtfsFolder("A", 64, kNtfsRootRecord, 0, 0, false, ScanType::Standard);
    tree.addNtfsFolder("B", 65, 64, 0, 0, false, ScanType::Standard);
    tree.addNtfsFolder("C", 66, 65, 0, 0, false, ScanType::Standard);
  }
  tree.addNtfsFile(100, "deep.txt", 70, 66, 0, 0, false, 5);
  ++tree.fileCount;
  ASSERT_EQ(tree.ntfsFolders.size(), 60u);
  SnapshotSource src{sampleSelection(FsType::Ntfs), sampleParams(FsType::Ntfs), 1, &tree, {}, {}};
  std::vector<std::uint8_t> b;
  std::string error;
  ASSERT_TRUE(encodeSnapshot(src, b, error)) << error;
  LoadedSnapshot loaded;
  ASSERT_EQ(loadSnapshotBytes(b, loaded, error), SnapshotLoadStatus::Ok) << error;
  EXPECT_EQ(loaded.tree.ntfsFolders.size(), 3u);
  loaded.tree.buildNtfsFolderTree();
  // One item each for A, B and C below the root.
  EXPECT_EQ(loaded.tree.folderTree().size(), 1u + 1 + 3);
  EXPECT_EQ(loaded.tree.ntfsFiles.size(), 1u);
}

TEST(SnapshotLoad, MissingFileOrFolderCannotBeOpened) {
  Sentinel s;
  std::string error;
  std::string dir = makeTempDir("open");
  EXPECT_EQ(loadSnapshot(dir + "/NONE.ZQRT", s.state, error), SnapshotLoadStatus::OpenFailed);
  EXPECT_EQ(error, "Unable to open the file");
  error.clear();
  EXPECT_EQ(loadSnapshot(dir, s.state, error), SnapshotLoadStatus::OpenFailed);
  EXPECT_EQ(error, "Unable to open the file");
  s.expectUntouched();
}

TEST(SnapshotLoad, FileIsOpenedReadOnly) {
  // A read-only snapshot (a CD, a write-protected share) loads.
  std::string path = makeTempDir("ro") + "/RO.ZQRT";
  writeBytes(path, fatImage());
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  LoadedSnapshot got;
  std::string error;
  EXPECT_EQ(loadSnapshot(path, got, error), SnapshotLoadStatus::Ok) << error;
}

TEST(SnapshotLoad, MagicIsComparedWithoutRegardToCase) {
  for (const char* magic : {"ZQR4.03", "Zqr4.03", "zQr4.03"}) {
    std::vector<std::uint8_t> b = ntfsImage();
    std::copy(magic, magic + 7, b.begin());
    LoadedSnapshot got;
    std::string error;
    EXPECT_EQ(load(b, got, error), SnapshotLoadStatus::Ok) << magic << ": " << error;
    EXPECT_EQ(got.tree.ntfsFiles.size(), 4u);
  }
  // And through a file, as the user would load it.
  std::vector<std::uint8_t> b = fatImage();
  std::copy_n("ZQR4.03", 7, b.begin());
  std::string path = makeTempDir("upper") + "/UP.ZQRT";
  writeBytes(path, b);
  LoadedSnapshot got;
  std::string error;
  EXPECT_EQ(loadSnapshot(path, got, error), SnapshotLoadStatus::Ok) << error;
}

TEST(SnapshotLoad, WrongMagicShowsTheBytesRead) {
  struct Case {
    std::string head;
    std::string shown;
  } cases[] = {
      {"zqr4.04", "zqr4.04"},  // another version digit
      {"zqr5.03", "zqr5.03"},
      {"PK\x03\x04xyz", "PK\x03\x04xyz"},
      {std::string("ab\0cdef", 7), "ab"},  // the text ends at a NUL
  };
  for (const auto& c : cases) {
    Sentinel s;
    std::vector<std::uint8_t> b = fatImage();
    std::copy(c.head.begin(), c.head.end(), b.begin());
    std::string error;
    EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::BadMagic);
    EXPECT_EQ(error, "    Invalid version of the file found : " + c.shown);
    s.expectUntouched();
  }
  // A file shorter than the magic shows what there is.
  Sentinel s;
  std::string error;
  EXPECT_EQ(load(textBytes("zqr"), s.state, error), SnapshotLoadStatus::BadMagic);
  EXPECT_EQ(error, "    Invalid version of the file found : zqr");
  EXPECT_EQ(load({}, s.state, error), SnapshotLoadStatus::BadMagic);
  EXPECT_EQ(error, "    Invalid version of the file found : ");
  s.expectUntouched();
}

TEST(SnapshotLoad, WrongVersion) {
  for (const char* v : {"1.3", "2.0", "1,1", "\0\0\0"}) {
    Sentinel s;
    std::vector<std::uint8_t> b = fatImage();
    std::copy(v, v + 3, b.begin() + 7);
    std::string error;
    EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::BadVersion);
    EXPECT_EQ(error, "              version of file does not match with current version 1.1");
    s.expectUntouched();
  }
}

// -------------------------------------------------------------- damaged bodies

TEST(SnapshotLoad, TruncatedAtEveryOffsetIsRefusedAndChangesNothing) {
  for (const auto& image : {fatImage(), ntfsImage()}) {
    for (std::size_t n = 0; n < image.size(); ++n) {
      SCOPED_TRACE("length " + std::to_string(n));
      Sentinel s;
      std::vector<std::uint8_t> b(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
      std::string error;
      SnapshotLoadStatus st = load(b, s.state, error);
      if (n < 7)
        EXPECT_EQ(st, SnapshotLoadStatus::BadMagic);
      else if (n < 10)
        EXPECT_EQ(st, SnapshotLoadStatus::BadVersion);
      else {
        EXPECT_EQ(st, SnapshotLoadStatus::Damaged);
        EXPECT_EQ(error.rfind(kDamagedPrefix, 0), 0u) << error;
      }
      s.expectUntouched();
    }
  }
}

TEST(SnapshotLoad, TruncatedFilesOnDiskAreRefused) {
  std::vector<std::uint8_t> image = ntfsImage();
  std::string dir = makeTempDir("trunc");
  for (std::size_t n = 10; n < image.size(); n += 7) {
    std::string path = dir + "/T.ZQRT";
    writeBytes(path, std::vector<std::uint8_t>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n)));
    Sentinel s;
    std::string error;
    EXPECT_EQ(loadSnapshot(path, s.state, error), SnapshotLoadStatus::Damaged) << n;
    s.expectUntouched();
  }
}

TEST(SnapshotLoad, EndingEarlySaysWhere) {
  std::vector<std::uint8_t> b = fatImage();
  LoadedSnapshot got;
  std::string error;
  load(std::vector<std::uint8_t>(b.begin(), b.begin() + 40), got, error);
  EXPECT_EQ(error, kDamagedPrefix + "it ends early, inside the header");
  load(std::vector<std::uint8_t>(b.begin(), b.begin() + 80), got, error);
  EXPECT_EQ(error, kDamagedPrefix + "it ends early, inside the header extension length");
  load(std::vector<std::uint8_t>(b.begin(), b.begin() + 84), got, error);
  EXPECT_EQ(error, kDamagedPrefix + "it ends early, inside the folder count");
  b.pop_back();
  load(b, got, error);
  EXPECT_EQ(error, kDamagedPrefix + "it ends early, inside file record 6 of 6");
}

TEST(SnapshotLoad, TrailingBytesAreRefused) {
  for (std::size_t extra : {1u, 2u, 4096u}) {
    Sentinel s;
    std::vector<std::uint8_t> b = ntfsImage();
    b.resize(b.size() + extra, 0);
    std::string error;
    EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::Damaged);
    EXPECT_EQ(error, kDamagedPrefix + std::to_string(extra) + (extra == 1 ? " byte follows" : " bytes follow") +
                         " the end of the file list");
    s.expectUntouched();

    std::string path = makeTempDir("trail") + "/T.ZQRT";
    writeBytes(path, b);
    EXPECT_EQ(loadSnapshot(path, s.state, error), SnapshotLoadStatus::Damaged);
    s.expectUntouched();
  }
}

TEST(SnapshotLoad, UnknownFileSystemCodesAreRefused) {
  for (std::size_t at : {10u, 26u}) {
    for (std::uint16_t code : {0, 1, 99, 101, 401, 500, 0xFFFF}) {
      Sentinel s;
      std::vector<std::uint8_t> b = fatImage();
      put16(b, at, code);
      std::string error;
      EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::Damaged) << at << " " << code;
      EXPECT_NE(error.find("unknown file-system code " + std::to_string(code)), std::string::npos) << error;
      s.expectUntouched();
    }
  }
}

// Offsets of the folder count (after the 78-byte header and the header
// extension's length, 0 here) and of the length field of the first folder
// record; the fixed parts of FAT folder and file records.
constexpr std::size_t kFolderCount = 82;
constexpr std::size_t kFirstFolder = 86;
constexpr int kFatFolderFixed = 22;
constexpr int kFatFileFixed = 28;

TEST(SnapshotLoad, RecordLengthBelowTheFixedPartIsRefused) {
  // FAT folder (fixed part 22), and an NTFS folder (27).
  for (auto [image, fixed] : {std::pair{fatImage(), kFatFolderFixed}, std::pair{ntfsImage(), 27}}) {
    for (int len : {0, 1, fixed - 1}) {
      Sentinel s;
      std::vector<std::uint8_t> b = image;
      put16(b, kFirstFolder, static_cast<std::uint16_t>(len));
      std::string error;
      EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::Damaged);
      EXPECT_EQ(error, kDamagedPrefix + "folder record 1 of " + (fixed == kFatFolderFixed ? "5" : "4") + " has a record length of " +
                           std::to_string(len) + ", less than its fixed " + std::to_string(fixed) + " bytes");
      s.expectUntouched();
    }
  }
}

// A FAT snapshot with a single folder of the given raw name bytes.
std::vector<std::uint8_t> fatWithFolderName(const std::string& name, std::uint16_t lengthField) {
  FileTree tree;
  SnapshotSource src{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 0, &tree, {}, {}};
  std::vector<std::uint8_t> b;
  std::string error;
  EXPECT_TRUE(encodeSnapshot(src, b, error));
  b.resize(kFolderCount);
  std::vector<std::uint8_t> body = hexBytes("01000000");
  body.push_back(static_cast<std::uint8_t>(lengthField));
  body.push_back(static_cast<std::uint8_t>(lengthField >> 8));
  body.insert(body.end(), name.begin(), name.end());
  body.resize(body.size() + kFatFolderFixed, 0);
  body.insert(body.end(), 4, 0);  // no files
  return cat({b, body});
}

TEST(SnapshotLoad, NamesAreBoundedAndMayNotHoldNulOrSlash) {
  std::string error;
  LoadedSnapshot got;
  // 765 bytes load, 766 do not.
  std::string longest(765, 'x');
  ASSERT_EQ(load(fatWithFolderName(longest, 765 + kFatFolderFixed), got, error), SnapshotLoadStatus::Ok) << error;
  EXPECT_EQ(got.tree.fatFolders.at(0).name, longest);

  Sentinel s;
  EXPECT_EQ(load(fatWithFolderName(longest + "x", 766 + kFatFolderFixed), s.state, error), SnapshotLoadStatus::Damaged);
  EXPECT_EQ(error, kDamagedPrefix + "folder record 1 of 1 has a name of 766 bytes (at most 765)");
  EXPECT_EQ(load(fatWithFolderName("", 0xFFFF), s.state, error), SnapshotLoadStatus::Damaged);
  EXPECT_EQ(error, kDamagedPrefix + "folder record 1 of 1 has a name of 65513 bytes (at most 765)");

  EXPECT_EQ(load(fatWithFolderName(std::string("a\0b", 3), 3 + kFatFolderFixed), s.state, error), SnapshotLoadStatus::Damaged);
  EXPECT_EQ(error, kDamagedPrefix + "the name of folder record 1 of 1 contains a NUL byte");
  EXPECT_EQ(load(fatWithFolderName("../../etc", 9 + kFatFolderFixed), s.state, error), SnapshotLoadStatus::Damaged);
  EXPECT_EQ(error, kDamagedPrefix + "the name of folder record 1 of 1 contains '/'");
  s.expectUntouched();

  // Empty names and bytes that are not ASCII are kept as they are.
  ASSERT_EQ(load(fatWithFolderName("", kFatFolderFixed), got, error), SnapshotLoadStatus::Ok);
  EXPECT_EQ(got.tree.fatFolders.at(0).name, "");
  ASSERT_EQ(load(fatWithFolderName("\xE9t\xE9", 3 + kFatFolderFixed), got, error), SnapshotLoadStatus::Ok);
  EXPECT_EQ(got.tree.fatFolders.at(0).name, "\xE9t\xE9");
}

TEST(SnapshotLoad, CountsThatPromiseMoreThanTheFileHoldsAreRefusedBeforeReserving) {
  // Folder count 0xFFFFFFFF in a small file: refused at once, with no attempt
  // to reserve space for four billion records.
  for (auto image : {fatImage(), ntfsImage()}) {
    for (std::uint32_t n : {0xFFFFFFFFu, 0x10000000u, 1000u}) {
      Sentinel s;
      std::vector<std::uint8_t> b = image;
      put32(b, kFolderCount, n);
      std::string error;
      EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::Damaged);
      EXPECT_EQ(error.rfind(kDamagedPrefix + "the folder count " + std::to_string(n) + " needs at least ", 0), 0u)
          << error;
      s.expectUntouched();
    }
  }
  // The file count likewise: a FAT image of no folders.
  std::vector<std::uint8_t> b = fatWithFolderName("A", 1 + kFatFolderFixed);
  put32(b, b.size() - 4, 0xFFFFFFFF);
  Sentinel s;
  std::string error;
  EXPECT_EQ(load(b, s.state, error), SnapshotLoadStatus::Damaged);
  EXPECT_EQ(error, kDamagedPrefix + "the file count 4294967295 needs at least " +
                       std::to_string(4294967295ull * (2 + kFatFileFixed)) + " bytes, but only 0 are left");
  s.expectUntouched();
}

TEST(SnapshotLoad, DuplicateFatFoldersAreDroppedAsInAScan) {
  std::vector<std::uint8_t> b = fatWithFolderName("A", 1 + kFatFolderFixed);
  // Two records with the same first cluster (0): the second is dropped.
  std::vector<std::uint8_t> rec(b.begin() + kFirstFolder, b.end() - 4);
  b.insert(b.end() - 4, rec.begin(), rec.end());
  put32(b, kFolderCount, 2);
  LoadedSnapshot got;
  std::string error;
  ASSERT_EQ(load(b, got, error), SnapshotLoadStatus::Ok) << error;
  EXPECT_EQ(got.tree.fatFolders.size(), 1u);
  EXPECT_EQ(got.tree.folderCount, 1u);
}

TEST(SnapshotLoad, BitFlipsNeverCrashAndFailuresChangeNothing) {
  for (const auto& image : {fatImage(), ntfsImage()}) {
    for (std::size_t i = 0; i < image.size(); ++i) {
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<std::uint8_t> b = image;
        b[i] ^= static_cast<std::uint8_t>(1u << bit);
        Sentinel s;
        std::string error;
        SnapshotLoadStatus st = load(b, s.state, error);
        if (st != SnapshotLoadStatus::Ok) {
          EXPECT_FALSE(error.empty());
          s.expectUntouched();
          continue;
        }
        // What loads is a consistent tree that saves again.
        SnapshotSource src{s.state.selection, s.state.params, s.state.chosenFsIndex, &s.state.tree, {}, {}};
        std::vector<std::uint8_t> again;
        ASSERT_TRUE(encodeSnapshot(src, again, error)) << error;
        LoadedSnapshot twice;
        ASSERT_EQ(load(again, twice, error), SnapshotLoadStatus::Ok) << error;
      }
    }
  }
}

TEST(SnapshotLoad, RandomGarbageAfterAValidHeader) {
  std::vector<std::uint8_t> head = fatImage();
  head.resize(kFolderCount);
  std::uint32_t x = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> b = head;
    put16(b, 26, round % 2 ? 300 : 100);
    std::size_t n = 4 + (x % 300);
    for (std::size_t i = 0; i < n; ++i) {
      x = x * 1103515245u + 12345u;
      b.push_back(static_cast<std::uint8_t>(x >> 16));
    }
    // Small counts so that records are actually parsed.
    put32(b, kFolderCount, x % 4);
    Sentinel s;
    std::string error;
    if (load(b, s.state, error) != SnapshotLoadStatus::Ok) s.expectUntouched();
  }
}

// -------------------------------------------------------------- saving

TEST(SnapshotSave, RefusesNamesItCouldNotLoadAgain) {
  for (const std::string& bad : {std::string(766, 'n'), std::string("a/b"), std::string("a\0b", 3)}) {
    FileTree tree;
    tree.addNtfsFolder("fine", 40, 5, 0, 0, false, ScanType::Standard);
    tree.addNtfsFile(100, bad, 1, 40, 0, 0, false, 0);
    SnapshotSource src{sampleSelection(FsType::Ntfs), sampleParams(FsType::Ntfs), 0, &tree, {}, {}};
    std::vector<std::uint8_t> b;
    std::string error;
    EXPECT_FALSE(encodeSnapshot(src, b, error));
    EXPECT_EQ(error.rfind("Unable to save the snapshot: the name of file record 1 ", 0), 0u) << error;
    EXPECT_TRUE(b.empty());
  }
}

TEST(SnapshotSave, RefusesATreeWithoutAFileSystemCode) {
  FileTree tree;
  SnapshotSource src{sampleSelection(FsType::Fat16), sampleParams(FsType::Fat16), 0, &tree, {}, {}};
  src.params.fsType = FsType::None;
  std::vector<std::uint8_t> b;
  std::string error;
  EXPECT_FALSE(encodeSnapshot(src, b, error));
  EXPECT_FALSE(error.empty());
  src.params.fsType = FsType::Fat16;
  src.selection.fsType = FsType::None;
  EXPECT_FALSE(encodeSnapshot(src, b, error));
  src.selection.fsType = FsType::Fat16;
  src.tree = nullptr;
  EXPECT_FALSE(encodeSnapshot(src, b, error));
}

struct SavedEarlier {
  std::string dir = makeTempDir("keep");
  std::string path = dir + "/EARLIER.ZQRT";
  std::vector<std::uint8_t> bytes = fatImage();
  SavedEarlier() { writeBytes(path, bytes); }
  void expectIntact() const {
    EXPECT_EQ(readBytes(path), bytes);
    // Nothing else was left in the folder.
    std::size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      (void)e;
      ++entries;
    }
    EXPECT_EQ(entries, 1u);
  }
};

TEST(SnapshotSave, AFileNameOfTheLongestLengthSaves) {
  // The temporary file's name must not be longer than the target's.
  FileTree tree;
  fillFatTree(tree);
  SnapshotSource src{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 0, &tree, {}, {}};
  std::string path = snapshotFileName(makeTempDir("long") + "/" + std::string(250, 'n'));
  ASSERT_EQ(path.size() - path.rfind('/') - 1, 255u);
  std::string error;
  EXPECT_TRUE(saveSnapshot(path, src, error)) << error;
  LoadedSnapshot got;
  EXPECT_EQ(loadSnapshot(path, got, error), SnapshotLoadStatus::Ok) << error;
}

TEST(SnapshotSave, TargetThatIsAFolderOrUnderAFileFails) {
  FileTree tree;
  fillFatTree(tree);
  SnapshotSource src{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 0, &tree, {}, {}};
  std::string dir = makeTempDir("target");
  std::string error;
  EXPECT_FALSE(saveSnapshot(dir, src, error));
  EXPECT_EQ(error, "Unable to open the file");
  EXPECT_TRUE(std::filesystem::is_directory(dir));

  SavedEarlier earlier;
  EXPECT_FALSE(saveSnapshot(earlier.path + "/X.ZQRT", src, error));  // a file is no folder
  EXPECT_EQ(error, "Unable to open the file");
  EXPECT_FALSE(saveSnapshot(earlier.dir + "/missing/X.ZQRT", src, error));
  EXPECT_EQ(error, "Unable to open the file");
  earlier.expectIntact();
}

TEST(SnapshotSave, FailedSaveLeavesTheEarlierSnapshotIntact) {
  SavedEarlier earlier;
  // A tree that cannot be written: refused before the file is touched.
  FileTree bad;
  bad.addFatFile(std::string(800, 'x'), 2, 0, 0, 0, 0, false);
  SnapshotSource src{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 0, &bad, {}, {}};
  std::string error;
  EXPECT_FALSE(saveSnapshot(earlier.path, src, error));
  earlier.expectIntact();
}

TEST(SnapshotSave, WriteErrorLeavesTheEarlierSnapshotIntact) {
  SavedEarlier earlier;
  FileTree tree;
  for (int i = 0; i < 2000; ++i) {
    tree.addFatFile("file number " + std::to_string(i), 2 + i, 0, 0, 0, 0, false);
    ++tree.fileCount;
  }
  SnapshotSource src{sampleSelection(FsType::Fat32), sampleParams(FsType::Fat32), 0, &tree, {}, {}};

  // The file-size limit makes the write fail part way (EFBIG), as a full
  // disk would.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  bool ok = saveSnapshot(earlier.path, src, error);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(ok);
  EXPECT_EQ(error.rfind("Unable to write the file: ", 0), 0u) << error;
  earlier.expectIntact();
}

}  // namespace
}  // namespace osprin::test
