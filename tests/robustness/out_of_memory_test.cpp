// Running out of memory: wherever an allocation fails during a scan, the
// tree, recovery, a snapshot or the deep scan, the command line shows "Out
// of memory, close other applications and run again" and ends with exit code
// 0 — never an abort. The command runs with a preloaded library that makes
// its Nth allocation throw std::bad_alloc, for N spread over the whole run.
// The commands print text: the JSON printer's documents allocate when they
// are destroyed, which no caller can catch (see docs/inputs.md).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace osprin {
namespace {

struct CliRun {
  bool exited = false;  // false: ended by a signal (an abort)
  int code = -1;        // exit code, or the signal
  std::string out, err;
};

// Runs the command line with extra environment variables.
CliRun runCli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
  const std::string dir = test::makeTempDir("oom-run");
  const std::string outPath = dir + "/out", errPath = dir + "/err";
  pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    std::string exe = OSPRIN_CLI;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  CliRun r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.exited = WIFEXITED(status);
  r.code = r.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  r.out = test::readFile(outPath);
  r.err = test::readFile(errPath);
  return r;
}

#ifdef OSPRIN_FAIL_NEW
constexpr const char* kOutOfMemory = "Out of memory, close other applications and run again";

// The allocations of one run of the command (0 when the preloaded library
// could not count them).
unsigned long countAllocations(const std::vector<std::string>& args, CliRun& reference) {
  const std::string countFile = test::makeTempDir("oom-count") + "/count";
  reference = runCli(args, {{"LD_PRELOAD", OSPRIN_FAIL_NEW}, {"OSPRIN_COUNT_NEW_FILE", countFile}});
  const std::string text = test::readFile(countFile);
  return text.empty() ? 0 : std::strtoul(text.c_str(), nullptr, 10);
}
#endif

// Runs `args` once to count its allocations, and once to count those of
// the same command on a disk that does not exist (the start-up and the
// command table, which come before any disk is read); then makes each of
// `points` allocations spread over the rest of the run fail in turn, and
// the last few (the end of the run) as well.
void expectOutOfMemoryMessage(const std::vector<std::string>& args, std::size_t diskArg, int points = 60,
                              const std::function<void()>& beforeEach = {}) {
#ifndef OSPRIN_FAIL_NEW
  (void)args, (void)diskArg, (void)points, (void)beforeEach;
  GTEST_SKIP() << "a sanitizer build replaces operator new itself";
#else
  if (beforeEach) beforeEach();
  CliRun reference;
  const unsigned long total = countAllocations(args, reference);
  if (total == 0) GTEST_SKIP() << "the preloaded allocator is not used by this build";
  ASSERT_TRUE(reference.exited && reference.code == 0) << reference.err;
  std::vector<std::string> missing = args;
  missing[diskArg] = std::string(args[diskArg].size(), 'x');
  CliRun startup;
  const unsigned long before = countAllocations(missing, startup);
  ASSERT_LT(before, total);

  // Every allocation of the run when there are few, else `points` of them.
  std::vector<unsigned long> which;
  const unsigned long span = total - before;
  const unsigned long n = std::min<unsigned long>(span, static_cast<unsigned long>(points));
  for (unsigned long i = 0; i < n; ++i) which.push_back(before + 1 + (span - 1) * i / n);
  for (unsigned long k = 4; k > 0; --k)
    if (total >= k) which.push_back(total - k + 1);

  int outOfMemory = 0;
  for (unsigned long n : which) {
    if (beforeEach) beforeEach();
    const CliRun r = runCli(args, {{"LD_PRELOAD", OSPRIN_FAIL_NEW}, {"OSPRIN_FAIL_NEW_AT", std::to_string(n)}});
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
    ASSERT_TRUE(r.exited) << "ended by signal " << r.code << "\n" << r.err;
    EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << r.err;
    const bool said = r.err.find(kOutOfMemory) != std::string::npos;
    // Running out of memory is a failure (status 1), never a success.
    EXPECT_EQ(r.code, said ? 1 : 0) << r.err;
    if (said) ++outOfMemory;
    // Either the failure was met and reported, or the run did its work.
    if (!said) {
      EXPECT_EQ(r.out, reference.out) << r.err;
    }
  }
  // Most failures end the run with the message.
  EXPECT_GE(outOfMemory, static_cast<int>(which.size()) / 2);
#endif
}

std::string fat16() { return test::fixtureImage("fat16vol"); }
std::string ntfs() { return test::fixtureImage("ntfs"); }

TEST(OutOfMemory, StandardScanOfFat) {
  expectOutOfMemoryMessage({"list", fat16(), "--fs", "FAT16", "--start", "0", "--end", "32767"}, 1);
}

TEST(OutOfMemory, StandardScanOfNtfs) {
  expectOutOfMemoryMessage({"list", ntfs(), "--fs", "NTFS", "--start", "0", "--end", "65535"}, 1);
}

TEST(OutOfMemory, PartitionListOfADisk) {
  expectOutOfMemoryMessage({"partitions", test::fixtureImage("sample")}, 1, 30);
}

TEST(OutOfMemory, DeepScanAndMount) {
  expectOutOfMemoryMessage(
      {"list", test::fixtureImage("deep_fat16"), "--deep", "--fs", "FAT16", "--start", "0", "--end", "32768", "--pick",
       "1"},
      1);
  expectOutOfMemoryMessage({"deep-scan", ntfs(), "--fs", "NTFS", "--start", "0", "--end", "65536"}, 1);
}

TEST(OutOfMemory, Recovery) {
  const std::string dest = test::makeTempDir("oom-dest");
  expectOutOfMemoryMessage({"recover", fat16(), "--fs", "FAT16", "--start", "0", "--end", "32767", "--all", "--to",
                            dest, "--duplicates", "overwrite", "--force"},
                           1, 60, [&] { std::filesystem::remove_all(dest); });
  expectOutOfMemoryMessage({"recover", ntfs(), "--fs", "NTFS", "--start", "0", "--end", "65535", "--all", "--to", dest,
                            "--duplicates", "overwrite", "--force"},
                           1, 60, [&] { std::filesystem::remove_all(dest); });
}

TEST(OutOfMemory, SnapshotSaveAndLoad) {
  const std::string dir = test::makeTempDir("oom-snap");
  const std::string snap = dir + "/NTFS.ZQRT";
  expectOutOfMemoryMessage({"list", ntfs(), "--fs", "NTFS", "--start", "0", "--end", "65535", "--save-snapshot", snap},
                           1, 30);
  ASSERT_EQ(runCli({"list", ntfs(), "--fs", "NTFS", "--start", "0", "--end", "65535", "--save-snapshot", snap}, {}).code,
            0);
  expectOutOfMemoryMessage({"list", ntfs(), "--snapshot", snap}, 1);
}

}  // namespace
}  // namespace osprin
