// Disk images in their formats: each reads back as the raw disk it was made
// from (EnCase by ewfacquire, VHD/VHDX/VMDK/qcow2 by qemu-img, split raw by
// split), and damaged ones are refused with a sentence, not a crash.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "disk/block_source.h"
#include "disk/drives.h"
#include "support/fixtures.h"

namespace fs = std::filesystem;

namespace osprin {
namespace {

nlohmann::json imagesManifest() {
  std::ifstream in(test::fixtureManifestPath("images"));
  return nlohmann::json::parse(in);
}

std::string shq(const std::string& s) { return "'" + s + "'"; }

// The sha256 of the first `bytes` bytes of src, and whether everything
// after them up to the source's end is zero (VHD rounds its disk up to a
// whole geometry).
struct Digest {
  std::string sha;
  bool zeroTail = true;
  bool readOk = true;
};
Digest digest(BlockSource& src, std::uint64_t bytes) {
  Digest d;
  std::string all;
  all.resize(static_cast<std::size_t>(bytes));
  constexpr std::size_t kStep = 1 << 20;
  for (std::uint64_t off = 0; off < bytes; off += kStep) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, bytes - off));
    d.readOk = d.readOk && src.readAt(off, all.data() + off, n);
  }
  d.sha = test::sha256Hex(all);
  std::string tail(4096, '\1');
  for (std::uint64_t off = bytes; off < src.sizeBytes(); off += tail.size()) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(tail.size(), src.sizeBytes() - off));
    d.readOk = d.readOk && src.readAt(off, tail.data(), n);
    d.zeroTail = d.zeroTail && tail.find_first_not_of('\0', 0) >= n;
  }
  return d;
}

std::uint64_t rawSize() { return fs::file_size(test::fixtureImage("sample")); }

struct FormatCase {
  const char* file;  // under tests/fixtures/data, gzip'd
  ImageFormat format;
  std::size_t segments;
};

class ImageFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ImageFormats, ReadsBackAsTheRawDisk) {
  const FormatCase& c = GetParam();
  std::string path = test::fixtureFile(c.file);
  if (c.format == ImageFormat::Ewf) test::fixtureFile("sample.E02");
  ImageInfo info;
  std::string err;
  auto src = openBlockSource(path, err, &info);
  ASSERT_NE(src, nullptr) << err;
  EXPECT_EQ(info.format, c.format);
  EXPECT_EQ(info.segments, c.segments);
  const std::uint64_t raw = rawSize();
  ASSERT_GE(src->sizeBytes(), raw);
  EXPECT_LT(src->sizeBytes() - raw, 1u << 20);
  Digest d = digest(*src, raw);
  EXPECT_TRUE(d.readOk);
  EXPECT_EQ(d.sha, imagesManifest()["raw_sha256"].get<std::string>());
  EXPECT_TRUE(d.zeroTail);
  // A read that reaches past the end fails, and one wholly past it too.
  char buf[1024];
  EXPECT_FALSE(src->readAt(src->sizeBytes() - 512, buf, sizeof buf));
  EXPECT_FALSE(src->readAt(src->sizeBytes() + 4096, buf, 512));
  EXPECT_TRUE(src->readAt(src->sizeBytes() - 512, buf, 512));

  // The drive list takes the image's own size, not the file's.
  DriveInfo drive;
  ASSERT_TRUE(driveInfoForPath(path, drive, err)) << err;
  EXPECT_EQ(drive.totalSectors, src->sizeBytes() / 512);
  EXPECT_EQ(drive.image.format, c.format);
  EXPECT_EQ(imageInfoPanel(drive).at(0).label, "Image Format");
}

INSTANTIATE_TEST_SUITE_P(Committed, ImageFormats,
                         ::testing::Values(FormatCase{"sample.E01", ImageFormat::Ewf, 2},
                                           FormatCase{"sample.vhd", ImageFormat::Vhd, 1},
                                           FormatCase{"sample.vhdx", ImageFormat::Vhdx, 1},
                                           FormatCase{"sample.vmdk", ImageFormat::Vmdk, 1},
                                           FormatCase{"sample.qcow2", ImageFormat::Qcow, 1}),
                         [](const auto& info) {
                           std::string n = info.param.file;
                           return n.substr(n.find('.') + 1);
                         });

TEST(EwfImage, CaseDataAndHashesOfTheAcquisition) {
  test::fixtureFile("sample.E02");
  DriveInfo d;
  std::string err;
  ASSERT_TRUE(driveInfoForPath(test::fixtureFile("sample.E01"), d, err)) << err;
  std::map<std::string, std::string> details;
  for (const auto& det : d.image.details) details[det.key] = det.value;
  EXPECT_EQ(details["case_number"], "CASE-19");
  EXPECT_EQ(details["examiner"], "A. Examiner");
  EXPECT_EQ(details["evidence_number"], "EV-001");
  EXPECT_EQ(details["description"], "Sample disk");
  EXPECT_EQ(details["notes"], "made by the fixture maker");
  // The acquisition hashes are those of the raw disk.
  const std::string raw = test::fixtureImage("sample");
  EXPECT_EQ(details["md5"], test::runCommand("md5sum " + shq(raw) + " | cut -c1-32 | tr -d '\\n'"));
  EXPECT_EQ(details["sha1"], test::runCommand("sha1sum " + shq(raw) + " | cut -c1-40 | tr -d '\\n'"));
  auto rows = imageInfoPanel(d);
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[0].value, "EnCase (EWF), 2 files");
  EXPECT_EQ(rows[1].label, "Case Number");
}

// Split raw images as split(1) writes them: NAME.001.., NAME.000.., and
// the two-digit suffixes of `split -d`. Segments of 50,000,000 bytes do
// not end on a sector, so reads straddle them.
struct SplitCase {
  const char* name;
  const char* splitArgs;
  const char* first;
  const char* second;
};

class SplitImages : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitImages, JoinedFromTheFirstSegmentsName) {
  const SplitCase& c = GetParam();
  const std::string raw = test::fixtureImage("sample");
  const std::string dir = test::makeTempDir(c.name);
  int status = -1;
  test::runCommand("split -b 50000000 " + std::string(c.splitArgs) + " " + shq(raw) + " " + shq(dir + "/disk.img."),
                   &status);
  ASSERT_EQ(status, 0);
  ImageInfo info;
  std::string err;
  auto src = openBlockSource(dir + "/" + c.first, err, &info);
  ASSERT_NE(src, nullptr) << err;
  EXPECT_EQ(info.format, ImageFormat::SplitRaw);
  EXPECT_EQ(info.segments, 3u);
  ASSERT_EQ(src->sizeBytes(), rawSize());
  Digest d = digest(*src, src->sizeBytes());
  EXPECT_TRUE(d.readOk);
  EXPECT_EQ(d.sha, imagesManifest()["raw_sha256"].get<std::string>());
  // One read across the first boundary.
  std::string joined(4096, '\0'), plain(4096, '\0');
  ASSERT_TRUE(src->readAt(50000000 - 1000, joined.data(), joined.size()));
  std::ifstream in(raw, std::ios::binary);
  in.seekg(50000000 - 1000);
  in.read(plain.data(), static_cast<std::streamsize>(plain.size()));
  EXPECT_EQ(joined, plain);
  char buf[1024];
  EXPECT_FALSE(src->readAt(src->sizeBytes() - 512, buf, sizeof buf));

  // A later segment names the first instead of opening as a short disk.
  auto later = openBlockSource(dir + "/" + c.second, err);
  EXPECT_EQ(later, nullptr);
  EXPECT_NE(err.find(std::string("open its first segment, ") + dir + "/" + c.first), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Split, SplitImages,
                         ::testing::Values(SplitCase{"from001", "-d -a 3 --numeric-suffixes=1", "disk.img.001",
                                                     "disk.img.002"},
                                           SplitCase{"from000", "-d -a 3", "disk.img.000", "disk.img.002"},
                                           SplitCase{"twoDigits", "-d", "disk.img.00", "disk.img.01"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SplitImages, ANumberedFileWithoutFollowersIsAPlainImage) {
  const std::string dir = test::makeTempDir("single");
  std::ofstream(dir + "/backup.001") << std::string(4096, 'x');
  std::ofstream(dir + "/photos.2024") << std::string(1024, 'y');
  for (const char* name : {"backup.001", "photos.2024"}) {
    ImageInfo info;
    std::string err;
    auto src = openBlockSource(dir + "/" + name, err, &info);
    ASSERT_NE(src, nullptr) << err;
    EXPECT_EQ(info.format, ImageFormat::Raw) << name;
    EXPECT_EQ(info.segments, 1u);
  }
}

// Damaged images: the library's cause in a sentence, never a crash and
// never a disk that reads as zeros where data was.
struct DamageCase {
  const char* name;
  const char* file;
  // Shell commands run in the folder that holds the image copies.
  const char* damage;
  const char* expect;  // part of the error
};

class DamagedImages : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedImages, AreRefusedWithAClearError) {
  const DamageCase& c = GetParam();
  const std::string dir = test::makeTempDir(c.name);
  for (const char* f : {"sample.E01", "sample.E02", "sample.vhd", "sample.vhdx", "sample.vmdk", "sample.qcow2"})
    fs::copy_file(test::fixtureFile(f), dir + "/" + f);
  int status = -1;
  test::runCommand("cd " + shq(dir) + " && " + c.damage, &status);
  ASSERT_EQ(status, 0);
  std::string err;
  auto src = openBlockSource(dir + "/" + c.file, err);
  EXPECT_EQ(src, nullptr);
  EXPECT_NE(err.find(std::string("cannot open ") + dir + "/" + c.file + " as "), std::string::npos) << err;
  EXPECT_NE(err.find(c.expect), std::string::npos) << err;
  DriveInfo d;
  std::string err2;
  EXPECT_FALSE(driveInfoForPath(dir + "/" + c.file, d, err2));
  EXPECT_EQ(err2, err);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedImages,
    ::testing::Values(
        DamageCase{"ewfSecondSegmentCut", "sample.E01", "truncate -s 100000 sample.E02", "cut short"},
        DamageCase{"ewfFirstSegmentCut", "sample.E01", "truncate -s 500000 sample.E01", "an EnCase image"},
        DamageCase{"ewfSecondSegmentMissing", "sample.E01", "rm sample.E02", "missing"},
        DamageCase{"vhdxHeadersOverwritten", "sample.vhdx",
                   "printf XXXXXXXX | dd of=sample.vhdx bs=1 seek=65536 conv=notrunc status=none && "
                   "printf XXXXXXXX | dd of=sample.vhdx bs=1 seek=131072 conv=notrunc status=none",
                   "as a VHDX image: unsupported signature"},
        DamageCase{"vhdCut", "sample.vhd", "truncate -s 3000 sample.vhd", "as a VHD image: "},
        DamageCase{"vmdkCut", "sample.vmdk", "truncate -s 3000 sample.vmdk", "as a VMDK image: "},
        DamageCase{"qcowCut", "sample.qcow2", "truncate -s 3000 sample.qcow2", "as a QCOW image: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageFormatDetection, BySignatureNotName) {
  struct Case {
    std::string head;
    std::string tail;
    ImageFormat want;
  };
  const std::string conectix = "conectix" + std::string(504, '\0');
  const Case cases[] = {
      {std::string("EVF\x09\x0d\x0a\xff\x00", 8) + "rest", "", ImageFormat::Ewf},
      {std::string("EVF2\x0d\x0a\x81\x00", 8), "", ImageFormat::Ewf},
      {"vhdxfile", "", ImageFormat::Vhdx},
      {conectix, "", ImageFormat::Vhd},
      {std::string(512, '\0'), conectix, ImageFormat::Vhd},  // fixed VHD: footer only
      {"KDMV", "", ImageFormat::Vmdk},
      {"COWD", "", ImageFormat::Vmdk},
      {"# Disk DescriptorFile\nversion=1", "", ImageFormat::Vmdk},
      {"QFI\xfb", "", ImageFormat::Qcow},
      {"QFI", "", ImageFormat::Raw},  // too short for the signature
      {"EVF\x09", "", ImageFormat::Raw},
      {std::string("\xeb\x58\x90MSDOS5.0", 11), "", ImageFormat::Raw},
      {"", "", ImageFormat::Raw},
      {std::string(512, '\0'), "xconectix", ImageFormat::Raw},
  };
  for (const auto& c : cases) {
    auto h = reinterpret_cast<const std::uint8_t*>(c.head.data());
    auto t = reinterpret_cast<const std::uint8_t*>(c.tail.data());
    EXPECT_EQ(detectImageFormat(h, c.head.size(), t, c.tail.size()), c.want) << c.head.substr(0, 12);
  }
}

TEST(ImageFormatDetection, AQcowFileNamedImgIsStillQcow) {
  const std::string dir = test::makeTempDir("renamed");
  fs::copy_file(test::fixtureFile("sample.qcow2"), dir + "/disk.img");
  ImageInfo info;
  std::string err;
  auto src = openBlockSource(dir + "/disk.img", err, &info);
  ASSERT_NE(src, nullptr) << err;
  EXPECT_EQ(info.format, ImageFormat::Qcow);
  EXPECT_EQ(src->sizeBytes(), rawSize());
}

TEST(ImageFormats, TheFileDialogFilterListsEveryFormat) {
  const std::string f = imageFileFilter();
  EXPECT_EQ(f.rfind("Disk images (", 0), 0u) << f;
  for (const char* p : {"*.img", "*.dd", "*.001", "*.E01", "*.Ex01", "*.vhd", "*.vhdx", "*.vmdk", "*.qcow2"})
    EXPECT_NE(f.find(std::string(p) + " "), std::string::npos) << p;
  EXPECT_NE(f.find(";;EnCase images (*.E01 "), std::string::npos) << f;
  const std::string last = ";;All files (*)";
  EXPECT_TRUE(f.size() > last.size() && f.compare(f.size() - last.size(), last.size(), last) == 0) << f;
}

}  // namespace
}  // namespace osprin
