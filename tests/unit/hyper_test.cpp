#include "app/hyper.h"

#include <gtest/gtest.h>

#include "core/hyper_map.h"
#include "sys/sim/harness.h"

namespace mirvex::hyper {
namespace {

using sys::sim::harness;
using Mapping = sys::sim::Sim::KeyMapping;

constexpr uint64_t CAPS = USAGE_PAGE | 0x39, LCMD = USAGE_PAGE | 0xE3, ESC = USAGE_PAGE | 0x29;
constexpr uint64_t A = USAGE_PAGE | 0x04, B = USAGE_PAGE | 0x05;

class HyperTest : public testing::Test {
 protected:
  void SetUp() override {
    harness().sim.reset({});
    // `map` remembers its last value; an out-of-range one with no tool makes every test start
    // from "not yet mapped to anything a test uses".
    harness().sim.set_key_mapping(std::nullopt);
    map(200);
  }
  // The key-mapping commands run since `from` (index into the journal).
  std::vector<std::vector<std::string>> runs(size_t from) const {
    auto all = harness().sim.journal().spawned;
    return {all.begin() + static_cast<long>(from), all.end()};
  }
  size_t mark() const { return harness().sim.journal().spawned.size(); }
  static std::vector<std::string> get() { return {std::string(TOOL), "property", "--get", "UserKeyMapping"}; }
  static std::vector<std::string> set(const std::vector<Pair>& pairs) {
    return {std::string(TOOL), "property", "--set", to_json(pairs)};
  }
};

TEST_F(HyperTest, OffRemovesOnlyTheF18Pairs) {
  harness().sim.set_key_mapping(Mapping{{A, B}, {LCMD, F18}, {CAPS, ESC}});
  const size_t from = mark();
  map(0);
  EXPECT_EQ(runs(from), (std::vector<std::vector<std::string>>{get(), set({{A, B}, {CAPS, ESC}})}));
  EXPECT_EQ(harness().sim.key_mapping(), (Mapping{{A, B}, {CAPS, ESC}}));
  EXPECT_FALSE(mapped_on());
}

TEST_F(HyperTest, ChangingTheKeyReplacesThePairInOneSet) {
  harness().sim.set_key_mapping(Mapping{{A, B}, {LCMD, F18}});
  size_t from = mark();
  map(5);  // left Command: already mapped, nothing to write
  EXPECT_EQ(runs(from), (std::vector<std::vector<std::string>>{get()}));
  EXPECT_TRUE(mapped_on());

  from = mark();
  map(1);  // Caps Lock
  EXPECT_EQ(runs(from), (std::vector<std::vector<std::string>>{get(), set({{A, B}, {CAPS, F18}})}));
  EXPECT_EQ(harness().sim.key_mapping(), (Mapping{{A, B}, {CAPS, F18}}));

  from = mark();
  map(1);  // the same value again runs nothing
  EXPECT_TRUE(runs(from).empty());
}

TEST_F(HyperTest, UserPairFromTheChosenKeyIsReplaced) {
  harness().sim.set_key_mapping(Mapping{{CAPS, ESC}, {A, B}});
  map(1);
  EXPECT_EQ(harness().sim.key_mapping(), (Mapping{{A, B}, {CAPS, F18}}));
}

TEST_F(HyperTest, ToolThatCannotRunOrUnreadableListLeavesTheMappingAlone) {
  size_t from = mark();
  map(3);  // no tool
  EXPECT_EQ(runs(from), (std::vector<std::vector<std::string>>{get()}));

  // An entry in a form the reader does not know (hexadecimal) must not be dropped by a rewrite.
  sys::sim::Desktop d;
  d.outputs["/usr/bin/hidutil property --get UserKeyMapping"] =
      "({HIDKeyboardModifierMappingDst = 30064771113; HIDKeyboardModifierMappingSrc = 0x700000039;})";
  harness().sim.reset(d);
  harness().sim.set_key_mapping(Mapping{{CAPS, ESC}});
  from = mark();
  map(4);
  EXPECT_EQ(runs(from), (std::vector<std::vector<std::string>>{get()}));
  EXPECT_EQ(harness().sim.key_mapping(), (Mapping{{CAPS, ESC}}));
}

}  // namespace
}  // namespace mirvex::hyper
