// The program as scripts and packagers meet it: its version and its help.
#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace osprin {
namespace {

TEST(CliProgram, VersionIsTheProjectVersion) {
  int status = -1;
  std::string out = test::runCommand(std::string(OSPRIN_CLI) + " --version", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, std::string("osprin ") + OSPRIN_VERSION + "\n");
}

TEST(CliProgram, HelpNamesTheProgramAndEveryCommand) {
  int status = -1;
  std::string out = test::runCommand(std::string(OSPRIN_CLI) + " --help", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("Usage: osprin "), std::string::npos) << out;
  for (const char* cmd : {"drives", "partitions", "search-partitions", "list", "recover", "deep-scan"}) {
    std::string sub = test::runCommand(std::string(OSPRIN_CLI) + " " + cmd + " --help", &status);
    EXPECT_EQ(status, 0) << cmd;
    EXPECT_NE(sub.find(std::string("Usage: osprin ") + cmd), std::string::npos) << sub;
  }
}

}  // namespace
}  // namespace osprin
