// The MFT walker on hand-made volumes (flags, names, lost folders, MFT
// layouts, stop, read errors), on the ntfs-3g fixture and on volumes made
// by Windows, compared with The Sleuth Kit.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "disk/faulty_source.h"
#include "support/fixtures.h"
#include "volume/ntfs_listing.h"
#include "volume/ntfs_synth.h"
#include "volume/walkers.h"

namespace osprin {
namespace {

using test::encodeRuns;
using test::NtfsEntry;
using test::Record;
using test::RecordBuilder;
using test::RunPiece;
using test::WalkRecorder;

// A hand-made volume: 1 KiB clusters, the MFT in the given runs, record 0
// describing them, the root directory at 5.
struct Walk {
  test::SynthVolume vol;
  FileTree tree;
  MftRuns runs;
  WalkRecorder obs;
  StopFlag stop{0};
  std::size_t diskSectors = 4096;
  std::unique_ptr<SectorReader> reader;
  VolumeParams vp;

  explicit Walk(std::vector<RunPiece> mft = {{16, 64}}, std::uint32_t spc = 2) {
    vol.mftRuns = std::move(mft);
    vol.sectorsPerCluster = spc;
    add(5, RecordBuilder(3).fileName(u".", 3, 5));
  }
  Walk& add(std::uint32_t n, RecordBuilder b) {
    vol.records.push_back({n, b.finish()});
    return *this;
  }
  Walk& addRaw(std::uint32_t n, const Record& r) {
    vol.records.push_back({n, r});
    return *this;
  }
  void run() {
    bool haveZero = false;
    for (auto& r : vol.records) haveZero = haveZero || r.first == 0;
    if (!haveZero) vol.records.insert(vol.records.begin(), {0, vol.mftRecord()});
    reader = vol.build(diskSectors, vp);
    obs.stop = &stop;
    walkNtfsVolume(*reader, vp, runs, tree, stop, obs);
  }
  const NtfsFileNode* file(const std::string& name) const {
    for (auto& f : tree.ntfsFiles)
      if (f.name == name) return &f;
    return nullptr;
  }
  const NtfsFolderNode* folder(const std::string& name) const {
    for (auto& f : tree.ntfsFolders)
      if (f.name == name) return &f;
    return nullptr;
  }
  std::set<std::string> paths() {
    std::set<std::string> out;
    for (auto& e : test::ntfsListing(tree)) out.insert(e.kind + " " + e.path + (e.deleted ? " (deleted)" : ""));
    return out;
  }
};

// ---- records and flags ------------------------------------------------------

TEST(NtfsWalk, FlagsDecideKindAndDeletion) {
  Walk w;
  w.add(20, RecordBuilder(3).fileName(u"Docs", 1, 5, 1000, 2000));
  w.add(21, RecordBuilder(2).fileName(u"Old", 1, 5));
  w.add(22, RecordBuilder(1).fileName(u"a.txt", 1, 20).data(10));
  w.add(23, RecordBuilder(0).fileName(u"gone.txt", 1, 20).data(20));
  w.add(24, RecordBuilder(9).fileName(u"nine", 1, 5).data(9));
  w.add(25, RecordBuilder(13).fileName(u"thirteen", 1, 5));
  w.add(26, RecordBuilder(1).data(5));  // no name: passed over
  w.add(27, RecordBuilder(0x7).fileName(u"seven", 1, 5));
  // $STANDARD_INFORMATION (created 5000, written 6000) before a file name
  // with other times: the times Windows shows are its.
  std::vector<std::uint8_t> si(48, 0);
  si[0] = 0x88; si[1] = 0x13;  // 5000
  si[8] = 0x70; si[9] = 0x17;  // 6000
  w.add(19, RecordBuilder(1).resident(0x10, si).fileName(u"si.txt", 1, 5, 1000, 2000).data(3));
  w.run();

  EXPECT_EQ(w.paths(), (std::set<std::string>{
                           "folder /Docs", "folder /Old (deleted)", "file /Docs/a.txt",
                           "file /Docs/gone.txt (deleted)", "file /nine", "file /thirteen", "file /seven",
                           "file /si.txt", "file /$MFT"}));
  // The root's own record never becomes a folder.
  EXPECT_EQ(w.tree.ntfsFolders.size(), 2u);
  EXPECT_EQ(w.tree.findNtfsFolder(5), -1);

  const NtfsFolderNode* docs = w.folder("Docs");
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->recordNumber, 20u);
  EXPECT_EQ(docs->parentRecord, 5u);
  EXPECT_EQ(docs->creationTime, 1000u);
  EXPECT_EQ(docs->changeTime, 2000u);
  const NtfsFileNode* a = w.file("a.txt");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->recordNumber, 22u);
  EXPECT_EQ(a->size, 10u);
  EXPECT_EQ(a->dataRecordSector, w.vol.recordSector(22));
  EXPECT_EQ(w.file("thirteen")->size, 0u);  // no data attribute
  EXPECT_EQ(w.file("si.txt")->creationTime, 5000u);
  EXPECT_EQ(w.file("si.txt")->changeTime, 6000u);
  EXPECT_EQ(w.file("$MFT")->size, 64u * 1024);

  EXPECT_EQ(w.tree.folderCount, 2u);
  EXPECT_EQ(w.tree.fileCount, 7u);
  EXPECT_EQ(w.obs.counters[Counter::FoldersFound], 2u);
  EXPECT_EQ(w.obs.counters[Counter::FilesFound], 7u);
  EXPECT_EQ(w.obs.texts[TextField::LastFileFolder], "seven");
  EXPECT_EQ(w.obs.recordsShown, 64u);
  EXPECT_EQ(w.obs.counters[Counter::CurrentSector], w.vol.recordSector(63));
  // The last record added was 27: 56 of 128 sectors read.
  auto reading = std::find(w.obs.phaseList.rbegin(), w.obs.phaseList.rend(), PhaseInfo{Phase::ReadingSector, 56, 128});
  EXPECT_NE(reading, w.obs.phaseList.rend());
  EXPECT_EQ(w.obs.phases(), (std::vector<Phase>{Phase::SearchingLostData, Phase::CreatingDirectoryTree}));
  EXPECT_FALSE(w.obs.stopShown);
  EXPECT_FALSE(w.obs.progressShown);
  for (int p : w.obs.progressValues) EXPECT_LE(p, 99);
}

TEST(NtfsWalk, NamesByNamespace) {
  Walk w;
  w.add(30, RecordBuilder(1).fileName(u"LONGNA~1.TXT", 2, 5).fileName(u"Long name.txt", 1, 5));
  w.add(31, RecordBuilder(1).fileName(u"Other long.txt", 1, 5).fileName(u"OTHERL~1.TXT", 2, 5));
  w.add(32, RecordBuilder(1).fileName(u"DOSONLY.TXT", 2, 5));
  w.add(33, RecordBuilder(1).fileName(u"written by ntfs-3g", 0, 5));
  w.add(34, RecordBuilder(1).fileName(u"Отчёт 東京 \U0001F600.txt", 0, 5));
  w.run();
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "file /Long name.txt", "file /Other long.txt",
                                              "file /DOSONLY.TXT", "file /written by ntfs-3g",
                                              "file /Отчёт 東京 \xF0\x9F\x98\x80.txt"}));
}

TEST(NtfsWalk, AttributesInExtensionRecords) {
  Walk w;
  // Record 30 holds only its attribute list: the name is in 31, the data
  // (above 4 GB, non-resident) in 32. The extension records are not listed
  // on their own.
  w.add(30, RecordBuilder(1).attributeList({{0x10, 30}, {0x30, 31}, {0x80, 32}}));
  w.add(31, RecordBuilder(1, 30).fileName(u"spread.bin", 1, 5));
  w.add(32, RecordBuilder(1, 30).data(4, u"named").nonResident(0x80, 6'000'000'000ull, encodeRuns({{500, 1464844}})));
  // Record 40: its own name, data in 41 after a record holding none.
  w.add(40, RecordBuilder(1).fileName(u"own name.txt", 1, 5).attributeList({{0x30, 40}, {0x80, 42}, {0x80, 41}}));
  w.add(41, RecordBuilder(1, 40).data(77));
  w.add(42, RecordBuilder(1, 40).data(3, u"stream only"));
  // Record 50: the list names records that cannot be read; no data: size 0,
  // the last record tried is kept.
  w.add(50, RecordBuilder(1).fileName(u"lost data.txt", 1, 5).attributeList({{0x80, 60}, {0x80, 5000}}));
  // Record 55 (deleted): its data record 56 now serves another file.
  w.add(55, RecordBuilder(0).fileName(u"borrowed.txt", 1, 5).attributeList({{0x80, 56}}));
  w.add(56, RecordBuilder(1, 12).data(123));
  w.run();

  // Named streams are rows of their own, whichever record holds them.
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "file /spread.bin", "stream /spread.bin:named",
                                              "file /own name.txt", "stream /own name.txt:stream only",
                                              "file /lost data.txt", "file /borrowed.txt (deleted)"}));
  EXPECT_EQ(w.tree.ntfsFiles.size(), 7u);
  EXPECT_EQ(w.tree.fileCount, 5u);
  const NtfsFileNode* s = w.file("spread.bin");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->recordNumber, 30u);
  EXPECT_EQ(s->size, 6'000'000'000ull);
  EXPECT_EQ(s->dataRecordSector, w.vol.recordSector(32));
  const NtfsFileNode* o = w.file("own name.txt");
  EXPECT_EQ(o->size, 77u);
  EXPECT_EQ(o->dataRecordSector, w.vol.recordSector(41));
  const NtfsFileNode* l = w.file("lost data.txt");
  EXPECT_EQ(l->size, 0u);
  EXPECT_EQ(l->dataRecordSector, 0u);  // record 5000 lies beyond the MFT
  const NtfsFileNode* b = w.file("borrowed.txt");
  EXPECT_EQ(b->size, 0u);
  EXPECT_EQ(b->dataRecordSector, w.vol.recordSector(56));
}

TEST(NtfsWalk, DamagedRecordsAreSkippedNotFatal) {
  Walk w;
  Record bad = RecordBuilder(1).fileName(u"ok", 1, 5).finish();
  test::put16(&bad[20], 0xFFFF);  // first attribute outside the record
  w.addRaw(20, bad);
  Record loop = RecordBuilder(1).fileName(u"zero length", 1, 5).finish();
  test::put32(&loop[56 + 4], 0);
  w.addRaw(21, loop);
  Record fix = RecordBuilder(1).fileName(u"huge count", 1, 5).finish();
  test::put16(&fix[6], 0xFFFF);  // huge update sequence count
  w.addRaw(22, fix);
  w.add(23, RecordBuilder(1).fileName(u"fine", 1, 5));
  w.run();
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "file /huge count", "file /fine"}));
}

// ---- lost folders ---------------------------------------------------------------

TEST(NtfsWalk, FilesOfAMissingFolderShareOnePlaceholder) {
  Walk w;
  w.add(30, RecordBuilder(0).fileName(u"one.txt", 1, 900).data(1));
  w.add(31, RecordBuilder(0).fileName(u"two.txt", 1, 900).data(2));
  w.add(32, RecordBuilder(0).fileName(u"three.txt", 1, 900).data(3));
  w.run();
  ASSERT_EQ(w.tree.ntfsFolders.size(), 1u);
  const NtfsFolderNode& dir = w.tree.ntfsFolders[0];
  EXPECT_EQ(dir.name, "Dir0");
  EXPECT_EQ(dir.recordNumber, 900u);
  EXPECT_EQ(dir.parentRecord, 5u);
  EXPECT_FALSE(dir.deleted);
  EXPECT_EQ(dir.creationTime, 0u);
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "folder /Dir0",
                                              "file /Dir0/one.txt (deleted)", "file /Dir0/two.txt (deleted)",
                                              "file /Dir0/three.txt (deleted)"}));
}

TEST(NtfsWalk, PlaceholdersForFoldersComeFirst) {
  Walk w;
  w.add(20, RecordBuilder(0).fileName(u"file.txt", 1, 800));
  w.add(21, RecordBuilder(2).fileName(u"A", 1, 950));   // parent missing
  w.add(22, RecordBuilder(2).fileName(u"B", 1, 21));    // parent A exists
  w.add(23, RecordBuilder(0).fileName(u"in B", 1, 22));
  w.add(24, RecordBuilder(0).fileName(u"also", 1, 950));
  w.run();
  ASSERT_EQ(w.tree.ntfsFolders.size(), 4u);
  EXPECT_EQ(w.tree.ntfsFolders[2].name, "Dir0");
  EXPECT_EQ(w.tree.ntfsFolders[2].recordNumber, 950u);
  EXPECT_EQ(w.tree.ntfsFolders[3].name, "Dir1");
  EXPECT_EQ(w.tree.ntfsFolders[3].recordNumber, 800u);
  EXPECT_EQ(w.tree.folderCount, 4u);
  EXPECT_EQ(w.paths(),
            (std::set<std::string>{"file /$MFT", "folder /Dir0", "folder /Dir0/A (deleted)",
                                   "folder /Dir0/A/B (deleted)", "file /Dir0/A/B/in B (deleted)",
                                   "file /Dir0/also (deleted)", "folder /Dir1", "file /Dir1/file.txt (deleted)"}));
}

TEST(NtfsWalk, DamagedRootDoesNotLoopTheTree) {
  Walk w;
  w.vol.records.clear();
  // The root's record with a real name: a folder that is its own parent.
  w.add(5, RecordBuilder(3).fileName(u"ROOT", 1, 5));
  w.add(20, RecordBuilder(3).fileName(u"sub", 1, 5));
  w.add(21, RecordBuilder(1).fileName(u"f", 1, 20));
  w.add(22, RecordBuilder(3).fileName(u"self", 1, 22));  // its own parent: no placeholder
  w.run();
  EXPECT_EQ(w.tree.ntfsFolders.size(), 3u);
  std::set<std::string> folders;
  for (auto& e : test::ntfsListing(w.tree))
    if (e.kind == "folder") folders.insert(e.path);
  EXPECT_EQ(folders, (std::set<std::string>{"/ROOT", "/sub"}));
  EXPECT_EQ(w.tree.folderTree().size(), 4u);  // item 0, the root, ROOT, sub
  EXPECT_EQ(w.folder("self")->treeItem, 0u);
}

// ---- MFT layouts ----------------------------------------------------------------

TEST(NtfsWalk, FragmentedMftKeepsRecordNumbersAcrossRuns) {
  // Records 0-7 at cluster 100, 8-11 sparse, 12-19 at cluster 50 (offset
  // -50 from the last real run), 20-23 at cluster 300.
  Walk w({{100, 8}, {0, 4, true}, {-50, 8}, {250, 4}});
  w.add(6, RecordBuilder(1).fileName(u"six", 1, 5));
  w.add(13, RecordBuilder(3).fileName(u"thirteen", 1, 5));
  w.add(14, RecordBuilder(1).fileName(u"fourteen", 1, 13).data(14));
  w.add(23, RecordBuilder(1).fileName(u"last", 1, 13));
  w.run();
  EXPECT_EQ(w.runs.runStart, (std::vector<SectorNo>{200, 0, 100, 600}));
  EXPECT_EQ(w.runs.totalSectors(), 48u);
  EXPECT_EQ(w.file("six")->recordNumber, 6u);
  EXPECT_EQ(w.folder("thirteen")->recordNumber, 13u);
  EXPECT_EQ(w.file("fourteen")->recordNumber, 14u);
  EXPECT_EQ(w.file("fourteen")->dataRecordSector, 104u);
  EXPECT_EQ(w.file("last")->recordNumber, 23u);
  EXPECT_EQ(w.file("last")->dataRecordSector, 606u);
  EXPECT_EQ(w.obs.recordsShown, 24u);  // sparse records counted
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "file /six", "folder /thirteen",
                                              "file /thirteen/fourteen", "file /thirteen/last"}));
  EXPECT_NE(std::find(w.obs.phaseList.begin(), w.obs.phaseList.end(), PhaseInfo{Phase::ReadingSector, 30, 48}),
            w.obs.phaseList.end());
}

TEST(NtfsWalk, RecordSplitBetweenRuns) {
  // One-sector clusters: the first run holds 5 sectors, so record 2 is
  // split between cluster 104 and cluster 200.
  Walk w({{100, 5}, {100, 7}}, 1);
  w.add(2, RecordBuilder(1).fileName(u"split", 1, 5).data(1));
  w.add(3, RecordBuilder(1).fileName(u"after", 1, 5).data(2));
  w.add(4, RecordBuilder(1).fileName(u"end", 1, 5).data(3));
  w.run();
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "file /split", "file /after", "file /end"}));
  EXPECT_EQ(w.file("split")->recordNumber, 2u);
  EXPECT_EQ(w.file("after")->recordNumber, 3u);
  EXPECT_EQ(w.file("after")->dataRecordSector, 201u);
  EXPECT_EQ(w.file("end")->recordNumber, 4u);
  EXPECT_EQ(w.file("end")->dataRecordSector, 203u);
}

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST(NtfsWalk, LongRunReadInPiecesAndReadErrors) {
  // 700 records in one run: read in pieces of many records, names at the
  // piece borders intact; a sector that never reads loses its record and
  // nothing else.
  Walk w({{16, 700}});
  const std::vector<std::uint32_t> named = {126, 127, 128, 129, 255, 256, 300, 301, 302, 699};
  for (std::uint32_t n : named) w.add(n, RecordBuilder(1).fileName(u16("r" + std::to_string(n)), 1, 5));
  w.vol.records.insert(w.vol.records.begin(), {0, w.vol.mftRecord()});
  VolumeParams vp;
  std::string bytes(4096 * 512, '\0');
  w.vol.build(4096, vp)->readSectors(0, 4096, bytes.data());

  auto walk = [&](FaultySource*& faulty) {
    auto src = std::make_unique<FaultySource>(std::make_unique<MemoryBlockSource>(bytes));
    faulty = src.get();
    return std::make_unique<SectorReader>(std::move(src));
  };
  auto recordsOf = [](const FileTree& tree) {
    std::set<std::uint32_t> out;
    for (auto& file : tree.ntfsFiles) out.insert(file.recordNumber);
    return out;
  };

  // A healthy disk: many records per request, not one request per record.
  FaultySource* f = nullptr;
  auto healthy = walk(f);
  FileTree tree;
  MftRuns runs;
  StopFlag stop{0};
  walkNtfsVolume(*healthy, vp, runs, tree, stop, nullObserver());
  std::set<std::uint32_t> all(named.begin(), named.end());
  all.insert(0);
  EXPECT_EQ(recordsOf(tree), all);
  for (auto& file : tree.ntfsFiles) EXPECT_EQ(file.dataRecordSector, w.vol.recordSector(file.recordNumber));
  EXPECT_LT(f->requests(), 700u / 16);

  // First half of record 301 and second half of record 129 never read.
  auto damaged = walk(f);
  f->failSector(w.vol.recordSector(301));
  f->failSector(w.vol.recordSector(129) + 1);
  damaged->setBadSectorRetries(1);
  walkNtfsVolume(*damaged, vp, runs, tree, stop, nullObserver());
  all.erase(301);
  EXPECT_EQ(recordsOf(tree), all);
  EXPECT_EQ(tree.ntfsFiles.size(), all.size());  // no record listed twice from a stale buffer
}

TEST(NtfsWalk, NoMftGivesAnEmptyTree) {
  Walk w;
  w.vol.records.clear();
  w.addRaw(0, Record{});  // not a file record
  w.add(20, RecordBuilder(1).fileName(u"unreachable", 1, 5));
  w.run();
  EXPECT_EQ(w.runs.size(), 0u);
  EXPECT_TRUE(w.tree.ntfsFiles.empty());
  EXPECT_TRUE(w.tree.ntfsFolders.empty());
  EXPECT_EQ(w.tree.folderTree().size(), 2u);
  EXPECT_EQ(w.obs.phases(), (std::vector<Phase>{Phase::SearchingLostData, Phase::CreatingDirectoryTree}));
}

TEST(NtfsWalk, StopStillPlacesLostFolders) {
  Walk w;
  w.add(3, RecordBuilder(0).fileName(u"early.txt", 1, 900));
  w.add(4, RecordBuilder(2).fileName(u"early dir", 1, 901));
  w.add(40, RecordBuilder(1).fileName(u"late.txt", 1, 5));
  w.obs.stopAfter = 10;  // Stop pressed while record 9 is read
  w.run();
  EXPECT_EQ(w.obs.recordsShown, 10u);
  EXPECT_EQ(w.stop.load(), 0);
  EXPECT_EQ(w.file("late.txt"), nullptr);
  EXPECT_EQ(w.paths(), (std::set<std::string>{"file /$MFT", "folder /Dir0", "folder /Dir0/early dir (deleted)",
                                              "folder /Dir1", "file /Dir1/early.txt (deleted)"}));
  EXPECT_EQ(w.obs.phases(), (std::vector<Phase>{Phase::SearchingLostData, Phase::CreatingDirectoryTree}));
}

TEST(NtfsWalk, SecondWalkStartsAfresh) {
  Walk w;
  w.add(20, RecordBuilder(3).fileName(u"d", 1, 5));
  w.add(21, RecordBuilder(1).fileName(u"f", 1, 20));
  w.run();
  const auto first = w.paths();
  walkNtfsVolume(*w.reader, w.vp, w.runs, w.tree, w.stop, w.obs);
  EXPECT_EQ(w.paths(), first);
  EXPECT_EQ(w.tree.ntfsFolders.size(), 1u);
  EXPECT_EQ(w.tree.fileCount, 2u);
}

// ---- the ntfs-3g fixture ----------------------------------------------------------

struct Walked {
  FileTree tree;
  MftRuns runs;
  VolumeParams vp;
  std::vector<NtfsEntry> entries;
};

std::unique_ptr<Walked> walkImage(const std::string& path, SectorNo start, SectorNo length = 0) {
  auto w = std::make_unique<Walked>();
  auto reader = test::openReader(path);
  if (length == 0) length = test::ntfsVolumeSectors(*reader, start);
  w->vp = test::ntfsParams(*reader, start, length);
  StopFlag stop{0};
  walkNtfsVolume(*reader, w->vp, w->runs, w->tree, stop, nullObserver());
  w->entries = test::ntfsListing(w->tree);
  return w;
}

TEST(NtfsWalkFixture, ListingMatchesTheManifest) {
  const std::string img = test::fixtureImage("ntfs");
  ASSERT_FALSE(img.empty());
  auto w = walkImage(img, 0);
  EXPECT_GT(w->runs.size(), 3u) << "the fixture's MFT should be fragmented";

  std::map<std::string, NtfsEntry> got;
  std::size_t streams = 0;
  for (auto& e : w->entries) {
    // The fixture's named streams (extended attributes of ntfs-3g) are not
    // in its manifest.
    if (e.kind == "stream") {
      streams += e.path.rfind("/streams.txt:", 0) == 0;
      continue;
    }
    if (!test::isSystemPath(e.path.substr(1))) got[e.path] = e;
  }
  EXPECT_EQ(streams, 40u);
  auto manifest = test::readManifestEntries("ntfs");
  ASSERT_GT(manifest.size(), 1000u);
  std::size_t deleted = 0;
  for (auto& m : manifest) {
    auto it = got.find(m.path);
    if (it == got.end()) {
      ADD_FAILURE() << "not listed: " << m.path;
      continue;
    }
    EXPECT_EQ(it->second.kind, m.kind) << m.path;
    EXPECT_EQ(it->second.size, m.kind == "file" ? m.size : 0) << m.path;
    EXPECT_EQ(it->second.deleted, m.deleted) << m.path;
    deleted += m.deleted;
    got.erase(it);
  }
  EXPECT_GE(deleted, 9u);
  for (auto& [path, e] : got) ADD_FAILURE() << "listed but not in the manifest: " << e;

  // Every parent was found: no placeholder folder.
  for (auto& f : w->tree.ntfsFolders) EXPECT_NE(f.creationTime, 0u) << f.name;
}

TEST(NtfsWalkFixture, NonAsciiNamesAndSpreadAttributes) {
  const std::string img = test::fixtureImage("ntfs");
  ASSERT_FALSE(img.empty());
  auto w = walkImage(img, 0);
  std::set<std::string> paths;
  for (auto& e : w->entries) paths.insert(e.path);
  for (const char* p : {"/Документы/отчёт за год.txt", "/Документы/Письма/письмо.txt", "/写真/東京タワー.jpg",
                        "/写真/日本語のファイル名.txt", "/emoji \xF0\x9F\x98\x80 smile.txt", "/Документы/удалённый.txt"})
    EXPECT_TRUE(paths.count(p)) << p;
  // streams.txt keeps its name and unnamed data in separate records behind a
  // non-resident attribute list; it is listed once, with its size.
  std::size_t count = 0;
  for (auto& e : w->entries)
    if (e.path == "/streams.txt") {
      ++count;
      EXPECT_EQ(e.size, 3005u);
    }
  EXPECT_EQ(count, 1u);
}

TEST(NtfsWalkFixture, SameFilesAsTheSleuthKit) {
  if (!test::haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit absent";
  const std::string img = test::fixtureImage("ntfs");
  ASSERT_FALSE(img.empty());
  auto w = walkImage(img, 0);
  std::map<std::uint32_t, NtfsEntry> byRecord;
  for (auto& e : w->entries)
    if (e.kind != "stream") byRecord[e.record] = e;
  int status = -1;
  auto fls = test::parseFls(test::runCommand("fls -r -p -l '" + img + "'", &status));
  ASSERT_EQ(status, 0);
  std::size_t compared = 0;
  for (auto& f : fls) {
    if (f.path.find(':') != std::string::npos || test::isSystemPath(f.path) || f.inode == 0) continue;
    auto it = byRecord.find(f.inode);
    ASSERT_NE(it, byRecord.end()) << f.path;
    if (f.deleted && !it->second.deleted) continue;  // a removed filler whose record was used again
    EXPECT_EQ(it->second.path, "/" + f.path);
    EXPECT_EQ(it->second.deleted, f.deleted) << f.path;
    if (f.type == "r/r" || f.type == "-/r") {
      EXPECT_EQ(it->second.size, f.size) << f.path;
    }
    ++compared;
  }
  EXPECT_GT(compared, 1000u);
}

// ---- volumes made by Windows ----------------------------------------------------------

// Every live regular file that fls lists (NTFS's own files and named streams
// aside) is listed with the same path and size; a file with several names
// (hard links) under each of them.
void compareLiveFilesWithFls(const std::string& image, SectorNo start, SectorNo length, std::size_t atLeast) {
  if (!test::haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit absent";
  auto w = walkImage(image, start, length);
  std::map<std::uint32_t, std::vector<NtfsEntry>> byRecord;
  for (auto& e : w->entries)
    if (e.kind == "file") byRecord[e.record].push_back(e);
  int status = -1;
  auto fls = test::parseFls(
      test::runCommand("fls -r -p -l -o " + std::to_string(start) + " '" + image + "'", &status));
  ASSERT_EQ(status, 0);
  std::map<std::uint32_t, std::vector<test::FlsEntry>> wanted;
  for (auto& f : fls)
    if ((f.type == "r/r" || f.type == "-/r") && !f.deleted && f.path.find(':') == std::string::npos && !test::isSystemPath(f.path))
      wanted[f.inode].push_back(f);
  EXPECT_GE(wanted.size(), atLeast);
  for (auto& [inode, names] : wanted) {
    auto it = byRecord.find(inode);
    if (it == byRecord.end()) {
      ADD_FAILURE() << "record " << inode << " (" << names[0].path << ") not listed";
      continue;
    }
    ASSERT_EQ(it->second.size(), names.size()) << names[0].path;
    for (const NtfsEntry& e : it->second) {
      bool pathMatches = false;
      for (auto& n : names) pathMatches = pathMatches || e.path == "/" + n.path;
      EXPECT_TRUE(pathMatches) << e.path << " vs " << names[0].path;
      EXPECT_EQ(e.size, names[0].size) << e.path;
      EXPECT_FALSE(e.deleted) << e.path;
    }
  }
  // And nothing else is listed as a live file.
  for (auto& [record, entries] : byRecord)
    for (auto& e : entries)
      if (!e.deleted && !test::isSystemPath(e.path.substr(1))) {
        EXPECT_TRUE(wanted.count(record)) << "listed, but not by fls: " << e;
      }
}

TEST(NtfsWalkCorpus, Ntfs3) {
  auto img = test::corpusImage("ntfs3.raw");
  if (!img) GTEST_SKIP() << "corpus absent";
  compareLiveFilesWithFls(*img, 0, 0, 3);
}

TEST(NtfsWalkCorpus, Ntfs3AttributeList) {
  auto img = test::corpusImage("ntfs3_attrlist.raw");
  if (!img) GTEST_SKIP() << "corpus absent";
  compareLiveFilesWithFls(*img, 0, 0, 1);
}

TEST(NtfsWalkCorpus, PartitionOfNtfsIndexDisk) {
  auto img = test::corpusImage("ntfs_index.raw");
  if (!img) GTEST_SKIP() << "corpus absent";
  compareLiveFilesWithFls(*img, 128, 0, 25);
}

TEST(NtfsWalkCorpus, DeletedCyrillicNamesOnWindowsServer2003) {
  auto img = test::corpusImage("vss_2003.raw");
  if (!img) GTEST_SKIP() << "corpus absent";
  if (!test::haveSleuthKit()) GTEST_SKIP() << "The Sleuth Kit absent";
  compareLiveFilesWithFls(*img, 63, 268430022, 40);
  auto w = walkImage(*img, 63, 268430022);
  std::map<std::uint32_t, NtfsEntry> byRecord;
  for (auto& e : w->entries)
    if (e.kind == "file") byRecord[e.record] = e;
  int status = -1;
  auto fls = test::parseFls(test::runCommand("fls -r -p -l -d -o 63 '" + *img + "'", &status));
  ASSERT_EQ(status, 0);
  std::size_t cyrillic = 0;
  for (auto& f : fls) {
    if (f.inode == 0 || test::isSystemPath(f.path) || f.path.find(':') != std::string::npos) continue;
    auto it = byRecord.find(f.inode);
    if (it == byRecord.end() || !it->second.deleted) continue;  // the record was used again
    EXPECT_EQ(it->second.path, "/" + f.path);
    if (f.path.find("Копия") != std::string::npos) ++cyrillic;
  }
  EXPECT_GE(cyrillic, 10u);
}

// ---- raw MFT copies made by Windows ----------------------------------------------------

// Places a raw MFT copy on a hand-made volume: the copy at cluster 16 (4 KiB
// clusters), record 0's run list rewritten to point there.
std::unique_ptr<Walked> walkMftCopy(const std::string& name) {
  auto path = test::corpusFile(name);
  if (!path) return nullptr;
  std::string raw = test::readFile(*path);
  const std::uint32_t spc = 8;
  const std::uint64_t clusters = raw.size() / (spc * kSectorSize);
  // Record 0 on disk keeps its update sequence; the run list lies in its
  // first sector, away from the protected bytes.
  Record r0;
  std::memcpy(r0.data(), raw.data(), kMftRecordSize);
  Record plain = r0;
  applyFixup(plain);
  std::size_t p = rd16(plain, 20);
  while (rd32(plain, p) != 0x80) p += rd32(plain, p + 4);
  const std::size_t runAt = p + rd16(plain, p + 32);
  auto runs = encodeRuns({{16, clusters}});
  EXPECT_LT(runAt + runs.size(), 510u);
  std::memcpy(raw.data() + runAt, runs.data(), runs.size());
  test::SynthDisk disk(16 * spc + raw.size() / kSectorSize + 16);
  disk.put(16 * spc, reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
  auto reader = disk.reader();
  auto w = std::make_unique<Walked>();
  w->vp.fsType = FsType::Ntfs;
  w->vp.sectorsPerCluster = spc;
  w->vp.mftStart = 16 * spc;
  StopFlag stop{0};
  walkNtfsVolume(*reader, w->vp, w->runs, w->tree, stop, nullObserver());
  w->entries = test::ntfsListing(w->tree);
  return w;
}

TEST(NtfsWalkMftCopies, UnicodeMatchesItsListing) {
  auto w = walkMftCopy("unicode.mft");
  if (!w) GTEST_SKIP() << "corpus absent";
  std::map<std::string, NtfsEntry> got;
  for (auto& e : w->entries) got[e.path] = e;
  auto fls = test::parseFls(test::readFile(*test::corpusFile("unicode.fls")));
  std::size_t compared = 0;
  for (auto& f : fls) {
    if (f.path.find(':') != std::string::npos || test::isSystemPath(f.path) || f.inode == 0) continue;
    auto it = got.find("/" + f.path);
    ASSERT_NE(it, got.end()) << f.path;
    EXPECT_EQ(it->second.record, f.inode);
    EXPECT_EQ(it->second.kind, f.type == "d/d" ? "folder" : "file");
    if (f.type == "r/r") {
      EXPECT_EQ(it->second.size, f.size) << f.path;
    }
    ++compared;
  }
  EXPECT_EQ(compared, 5u);
  EXPECT_TRUE(got.count("/Привет/привет.txt"));
}

TEST(NtfsWalkMftCopies, DeletedFolderChain) {
  auto w = walkMftCopy("deleted.mft");
  if (!w) GTEST_SKIP() << "corpus absent";
  std::set<std::string> paths;
  for (auto& e : w->entries) paths.insert(e.path + (e.deleted ? " (deleted)" : ""));
  for (const char* p : {"/1 (deleted)", "/1/2 (deleted)", "/1/2/3 (deleted)", "/1/2/33 (deleted)",
                        "/1/2/3/4 (deleted)", "/1/2/3/4/file.txt (deleted)"})
    EXPECT_TRUE(paths.count(p)) << p;
}

TEST(NtfsWalkMftCopies, OrphanFilesStayWithTheirFolder) {
  auto w = walkMftCopy("orphan.mft");
  if (!w) GTEST_SKIP() << "corpus absent";
  std::set<std::string> paths;
  for (auto& e : w->entries) paths.insert(e.path + (e.deleted ? " (deleted)" : ""));
  for (const char* p : {"/n1", "/n2", "/n1/2.txt (deleted)", "/n1/5.txt (deleted)"}) EXPECT_TRUE(paths.count(p)) << p;
  // No placeholder is needed: every parent is a folder of the table.
  for (auto& f : w->tree.ntfsFolders) EXPECT_NE(f.name.rfind("Dir", 0), 0u) << f.name;
}

}  // namespace
}  // namespace osprin
