#include "app/cli.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace mirvex {
namespace {

cli::Command parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mirvex");
  return cli::parse(static_cast<int>(args.size()), args.data());
}

TEST(CliTest, OnlyTheFirstArgumentIsAFlag) {
  struct Case {
    std::vector<const char*> args;
    cli::Kind kind;
  };
  const Case cases[] = {
      {{}, cli::Kind::Run},
      {{"--bench"}, cli::Kind::Bench},
      {{"--restore"}, cli::Kind::Restore},
      {{"--screen-access"}, cli::Kind::ScreenAccess},
      {{"--shot-panel", "/tmp/x"}, cli::Kind::ShotPanel},
      {{"--shot-panel"}, cli::Kind::ShotPanel},  // the missing directory stops later
      {{"--focus", "812", "77"}, cli::Kind::Focus},
      {{"--dump"}, cli::Kind::Dump},
      {{"--frobnicate"}, cli::Kind::Run},         // unknown: starts the application
      {{"-delayMs", "0"}, cli::Kind::Run},        // a preference argument
      {{"-delayMs", "--bench"}, cli::Kind::Run},  // a flag later on is no flag
      {{"--bench-x"}, cli::Kind::Run},
      {{""}, cli::Kind::Run},
  };
  for (const Case& c : cases) {
    const cli::Command cmd = parse(c.args);
    EXPECT_EQ(cmd.kind, c.kind) << (c.args.empty() ? "(none)" : c.args[0]);
    EXPECT_EQ(cmd.args.size(), c.args.size());
    EXPECT_EQ(cmd.operand(), c.args.size() > 1 ? std::optional<std::string_view>(c.args[1]) : std::nullopt);
  }
}

class ShotDirTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mirvex-shots-XXXXXX";
    root_ = ::mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::filesystem::path root_;
};

TEST_F(ShotDirTest, CreatesNestedDirectories) {
  const std::filesystem::path dir = root_ / "a" / "b" / "c";
  EXPECT_EQ(cli::shot_dir(dir.string()), dir.string());
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(cli::shot_dir(dir.string()), dir.string());  // an existing one is fine
}

TEST_F(ShotDirTest, MissingOrUncreatableDirectoryStops) {
  EXPECT_DEATH(cli::shot_dir(std::nullopt), "--shot-\\* <dir>");
  EXPECT_DEATH(cli::shot_dir(""), "--shot-\\* <dir>");
  const std::filesystem::path file = root_ / "plain";
  std::ofstream(file) << "x";
  EXPECT_DEATH(cli::shot_dir((file / "sub").string()), "cannot create the shot directory");
  EXPECT_DEATH(cli::shot_dir(file.string()), "cannot create the shot directory");
}

}  // namespace
}  // namespace mirvex
