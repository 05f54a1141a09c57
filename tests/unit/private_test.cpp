#include "app/private.h"

#include <gtest/gtest.h>

#include "sys/sim/harness.h"

namespace mirvex {
namespace {

using sys::sim::harness;

Private resolve_with_missing(std::vector<std::string> absent, std::vector<std::string>& missing) {
  sys::sim::Desktop d;
  d.faults.missing_symbols = std::move(absent);
  harness().sim.reset(std::move(d));
  return resolve_private(missing);
}

TEST(Private, EverythingResolvesOnACompletePlatform) {
  std::vector<std::string> missing;
  Private p = resolve_with_missing({}, missing);
  EXPECT_TRUE(missing.empty());
  EXPECT_TRUE(p.query);
  EXPECT_TRUE(p.spaces);
  EXPECT_TRUE(p.SLSRegisterNotifyProc);
  EXPECT_TRUE(p.SLSWindowIteratorGetResolvedCornerRadii);
  EXPECT_EQ(p.CGSMainConnectionID(), sys::sim::Sim::CID);
  // The table is resolved once and calls straight through to the platform.
  EXPECT_EQ(P().CGSMainConnectionID(), sys::sim::Sim::CID);
}

TEST(Private, GroupsCountOnlyWhenCompleteAndOptionalOnesMayBeAbsent) {
  std::vector<std::string> missing;
  Private p = resolve_with_missing(
      {"SLSWindowIteratorGetParentID", "SLSSetWindowTags", "SLSRegisterNotifyProc", "SLSWindowIteratorGetResolvedCornerRadii"},
      missing);
  EXPECT_TRUE(missing.empty());  // none of those is required
  EXPECT_FALSE(p.query);
  EXPECT_FALSE(p.spaces);
  EXPECT_FALSE(p.SLSRegisterNotifyProc);
  EXPECT_FALSE(p.SLSWindowIteratorGetResolvedCornerRadii);
}

TEST(Private, MissingRequiredNamesAreReportedInTableOrder) {
  std::vector<std::string> missing;
  resolve_with_missing({"SLSGetWindowBounds", "SLSWindowQueryWindows", "GetProcessPID", "CGSMainConnectionID"}, missing);
  EXPECT_EQ(missing, (std::vector<std::string>{"CGSMainConnectionID", "GetProcessPID", "SLSGetWindowBounds"}));
}

void load_without_required_symbols() {
  sys::sim::Desktop d;
  d.faults.missing_symbols = {"SLSGetWindowBounds", "CGSMainConnectionID", "SLSRegisterNotifyProc"};
  harness().sim.reset(std::move(d));
  P();
}

TEST(PrivateDeathTest, MissingRequiredSymbolsStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, where P is not loaded yet
  EXPECT_DEATH(load_without_required_symbols(), "missing private symbols: CGSMainConnectionID, SLSGetWindowBounds\n");
}

}  // namespace
}  // namespace mirvex
