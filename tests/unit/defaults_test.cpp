#include "core/defaults.h"

#include "tests/unit/config_dir.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mirvex {
namespace {

namespace fs = std::filesystem;
using plist::Value;

using namespace testing_config;
using DefaultsTest = ConfigDirTest;

TEST_F(DefaultsTest, FolderFollowsXdgConfigHomeOnlyWhenAbsolute) {
  EXPECT_EQ(Defaults().path(), file());
  ::setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(Defaults::folder(), fs::path(home) / ".config" / "mirvex");
  for (const char* bad : {"", ".", "..", "a/b"}) EXPECT_THROW(Defaults{bad}, std::invalid_argument);
}

TEST_F(DefaultsTest, ArgumentsOverrideStoredOverrideRegistered) {
  Defaults d;
  d.register_defaults({{"a", 1}, {"b", 1}, {"c", 1}});
  ASSERT_TRUE(d.write({{"a", 2}, {"b", 2}}));
  const char* argv[] = {"mirvex", "--dump", "-a", "3", "-onboarded", "YES", "-dangling"};
  d.set_arguments(7, argv);
  EXPECT_EQ(d.object("a"), Value("3"));  // the platform reads a bare word as text
  EXPECT_EQ(d.integer("a"), 3);
  EXPECT_EQ(d.integer("b"), 2);
  EXPECT_EQ(d.integer("c"), 1);
  EXPECT_TRUE(d.boolean("onboarded"));
  EXPECT_FALSE(d.has("-dump"));
  EXPECT_FALSE(d.has("dangling"));
  EXPECT_FALSE(d.has("missing"));
  // The argument domain lasts for the run only.
  EXPECT_EQ(Defaults().integer("a"), 2);
}

TEST(ParseArgument, PropertyListTextElsePlainText) {
  EXPECT_EQ(parse_argument("<true/>"), Value(true));
  EXPECT_EQ(parse_argument("<integer>-5</integer>"), Value(-5));
  EXPECT_EQ(parse_argument("( a, \"b c\" )"), Value(plist::Array{"a", "b c"}));
  EXPECT_EQ(parse_argument("{ k = ( 1 ); }"), Value(plist::Dict{{"k", plist::Array{"1"}}}));
  EXPECT_EQ(parse_argument("<0aff>"), Value(plist::Data{0x0a, 0xff}));
  for (const char* plain : {"YES", "5", "hello world", "(unclosed", "<b>", "", "a = b;"})
    EXPECT_EQ(parse_argument(plain), Value(plain)) << plain;
}

TEST(Coerce, BooleanAndIntegerAsThePlatformReads) {
  struct Row { Value v; bool b; int64_t i; };
  const Row rows[] = {
      {true, true, 1},          {false, false, 0},         {0, false, 0},
      {-3, true, -3},           {0.0, false, 0},           {2.9, true, 2},
      {-2.9, true, -2},         {1e300, true, INT64_MAX},  {"YES", true, 0},
      {"yes", true, 0},         {"True", true, 0},         {"no", false, 0},
      {"  42abc", true, 42},    {"0", false, 0},           {"-0012", true, -12},
      {"99999999999999999999", true, INT64_MAX},           {"", false, 0},
      {plist::Array{1}, false, 0}, {plist::Dict{}, false, 0}, {plist::Data{1}, false, 0},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(coerce_bool(&r.v), r.b) << plist::to_xml(r.v);
    EXPECT_EQ(coerce_integer(&r.v), r.i) << plist::to_xml(r.v);
  }
  EXPECT_FALSE(coerce_bool(nullptr));
  EXPECT_EQ(coerce_integer(nullptr), 0);
  const Value n(12);
  EXPECT_EQ(coerce_string(&n), "12");
}

TEST_F(DefaultsTest, ListsAreArraysOfDictionariesOnly) {
  Defaults d;
  const plist::Dict one{{"bundleId", "a"}};
  ASSERT_TRUE(d.write({{"good", plist::Array{one, one}}, {"mixed", plist::Array{one, 1}}, {"scalar", 1}}));
  EXPECT_EQ(d.list("good"), (std::vector<plist::Dict>{one, one}));
  EXPECT_TRUE(d.list("mixed").empty());
  EXPECT_TRUE(d.list("scalar").empty());
  EXPECT_TRUE(d.list("absent").empty());
}

TEST_F(DefaultsTest, OneWriteForSeveralKeysNotifiesOnce) {
  Defaults d;
  ASSERT_TRUE(d.write({{"keep", 1}, {"gone", 1}}));
  std::vector<Defaults::Change> seen;
  d.subscribe([&](Defaults::Change c) { seen.push_back(c); });
  ASSERT_TRUE(d.write({{"x", true}, {"y", "text"}}, {"gone"}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], Defaults::Change::Local);
  const auto stored = plist::parse(slurp(file()));
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, Value(plist::Dict{{"keep", 1}, {"x", true}, {"y", "text"}}));
  // Nothing to change: nothing written, no one told.
  const auto before = fs::last_write_time(file());
  ASSERT_TRUE(d.write({{"x", true}}, {"never-there"}));
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(fs::last_write_time(file()), before);
}

TEST_F(DefaultsTest, TwoStoresOnOneDomainSeeAndKeepEachOthersKeys) {
  Defaults app, library;
  ASSERT_TRUE(app.set("fromApp", 1));
  EXPECT_EQ(library.integer("fromApp"), 1);
  ASSERT_TRUE(library.set("fromLibrary", 2));
  ASSERT_TRUE(app.set("fromApp", 3));
  EXPECT_EQ(library.integer("fromApp"), 3);
  EXPECT_EQ(app.integer("fromLibrary"), 2);
}

TEST_F(DefaultsTest, ReadsBinaryAndRewritesAsXmlWithoutLosingValues) {
  const plist::Dict stored{{"bytes", plist::Data{1, 2, 3}}, {"when", plist::Date{1000}},
                           {"real", 2.5}, {"list", plist::Array{plist::Dict{{"k", 1}}}}};
  spit(file(), plist::to_binary(Value(stored)));
  Defaults d;
  EXPECT_EQ(d.persistent_domain(), stored);
  ASSERT_TRUE(d.set("added", 1));
  const std::string xml = slurp(file());
  EXPECT_TRUE(xml.starts_with("<?xml"));
  plist::Dict expected = stored;
  expected.emplace("added", 1);
  EXPECT_EQ(plist::parse(xml), Value(expected));
}

TEST_F(DefaultsTest, UnreadableFileIsKeptAsABackupBeforeAnyWrite) {
  const std::string xml = plist::to_xml(Value(plist::Dict{{"opacityPct", 80}}));
  for (const std::string& original : {std::string("garbage \x01\x02"), xml.substr(0, xml.size() - 20),
                                      plist::to_xml(Value(plist::Array{1}))}) {
    fs::remove_all(dir());
    spit(file(), original);
    LOGGED.clear();
    Defaults d;
    EXPECT_FALSE(d.persistent_domain());
    EXPECT_TRUE(d.unreadable());
    EXPECT_FALSE(d.has("opacityPct"));
    EXPECT_EQ(slurp(file()), original) << "reading must not touch the file";
    ASSERT_FALSE(LOGGED.empty());
    EXPECT_TRUE(LOGGED[0].starts_with("prefs: cannot read ")) << LOGGED[0];

    ASSERT_TRUE(d.set("opacityPct", 50));
    const auto backups = files_starting(dir(), "org.mirvex.mirvex.plist.unreadable-");
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(slurp(backups[0]), original);
    EXPECT_EQ(d.persistent_domain(), (plist::Dict{{"opacityPct", 50}}));
    EXPECT_TRUE(logged("prefs: kept the unreadable " + file().string() + " as " + backups[0].string()));
  }
}

TEST_F(DefaultsTest, BackupsWithinOneSecondDoNotOverwriteEachOther) {
  Defaults d;
  spit(file(), "first");
  ASSERT_TRUE(d.set("k", 1));
  spit(file(), "second");
  ASSERT_TRUE(d.set("k", 2));
  std::vector<std::string> kept;
  for (const auto& p : files_starting(dir(), "org.mirvex.mirvex.plist.unreadable-")) kept.push_back(slurp(p));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"first", "second"}));
}

TEST_F(DefaultsTest, ResetKeepsAnUnreadableFileAndDeletesAReadableOne) {
  Defaults d;
  ASSERT_TRUE(d.set("k", 1));
  ASSERT_TRUE(d.remove_persistent_domain());
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_FALSE(d.persistent_domain());
  spit(file(), "not a plist");
  ASSERT_TRUE(d.remove_persistent_domain());
  EXPECT_FALSE(fs::exists(file()));
  ASSERT_EQ(files_starting(dir(), "org.mirvex.mirvex.plist.unreadable-").size(), 1u);
}

TEST_F(DefaultsTest, CrashBeforeTheRenameLeavesTheOldFileIntact) {
  Defaults d;
  ASSERT_TRUE(d.set("k", 1));
  const std::string old = slurp(file());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    DEFAULTS_BEFORE_RENAME = [](const fs::path&) { ::raise(SIGKILL); };
    d.set("k", 2);
    ::_exit(0);  // not reached when the hook runs
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_EQ(slurp(file()), old);
  EXPECT_EQ(Defaults().integer("k"), 1);
  // The dead writer's temporary is complete but never became the file; the next write clears it.
  ASSERT_EQ(files_starting(dir(), ".org.mirvex.mirvex.plist.tmp-").size(), 1u);
  ASSERT_TRUE(d.set("k", 3));
  EXPECT_TRUE(files_starting(dir(), ".org.mirvex.mirvex.plist.tmp-").empty());
  EXPECT_EQ(Defaults().integer("k"), 3);
}

TEST_F(DefaultsTest, ChangeFeedSeesOtherWritersButNotItsOwn) {
  Defaults app;
  std::vector<Defaults::Change> seen;
  app.subscribe([&](Defaults::Change c) { seen.push_back(c); });
  const int fd = app.watch();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(app.watch(), fd);

  ASSERT_TRUE(app.set("own", 1));
  EXPECT_EQ(seen, std::vector<Defaults::Change>{Defaults::Change::Local});
  EXPECT_FALSE(app.poll_external());

  const auto wait_readable = [&] {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
  };
  Defaults other;  // as the settings library would, in its own process
  ASSERT_TRUE(other.set("theirs", 2));
  ASSERT_TRUE(wait_readable());
  EXPECT_TRUE(app.poll_external());
  EXPECT_EQ(seen.back(), Defaults::Change::External);
  EXPECT_EQ(app.integer("theirs"), 2);
  EXPECT_FALSE(app.poll_external());

  // A hand edit that rewrites the file in place.
  spit(file(), plist::to_xml(Value(plist::Dict{{"edited", true}})));
  ASSERT_TRUE(wait_readable());
  EXPECT_TRUE(app.poll_external());
  EXPECT_TRUE(app.boolean("edited"));
  EXPECT_EQ(seen.size(), 3u);
}

TEST_F(DefaultsTest, WritesThroughASymbolicLinkKeepTheLink) {
  const fs::path real = root_ / "dotfiles" / "prefs.plist";
  spit(real, plist::to_xml(Value(plist::Dict{{"k", 1}})));
  fs::create_directories(dir());
  fs::create_symlink(real, file());
  Defaults d;
  EXPECT_EQ(d.integer("k"), 1);
  ASSERT_TRUE(d.set("k", 2));
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_EQ(Defaults::at_path(real).integer("k"), 2);
}

}  // namespace
}  // namespace mirvex
