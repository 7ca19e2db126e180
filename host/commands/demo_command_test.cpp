// velmora-host demo: the sample site on 127.0.0.1, its links resolved and
// the file fetched.
#include <gtest/gtest.h>

#include <string>

#include "testing/host_process.h"

namespace {

using namespace velmora::testing;

TEST(DemoCommandTest, DemoResolvesTheSampleLinksAndGetsTheFile) {
  ScratchDir scratch;
  const ProcessRun run = RunHost({"demo", "-o", scratch.path().string()});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("download link: http://dl.dornix.example/get/7Qx2/holiday-photos.zip"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("3 of 3 sample links gave the expected result"), std::string::npos);
  const std::string file = ReadFile(scratch.path() / "holiday-photos.zip");
  EXPECT_EQ(file.substr(0, 4), "PK\x05\x06");  // a zip archive
  EXPECT_NE(run.out.find("saved to: " + (scratch.path() / "holiday-photos.zip").string() +
                         "\n  size:     " + std::to_string(file.size()) + " bytes\n  SHA-256:  "),
            std::string::npos)
      << run.out;
}

}  // namespace
