#include "core/model.h"

#include <gtest/gtest.h>

namespace mirvex {
namespace {

WindowInfo win(Wid wid, Pid pid = 1, std::vector<SpaceId> spaces = {1}, bool onscreen = true) {
  WindowInfo w;
  w.wid = wid;
  w.pid = pid;
  w.spaces = std::move(spaces);
  w.bounds = {0, 0, 100, 100};
  w.onscreen = onscreen;
  return w;
}

ev::Snapshot snap(Stamp seq, std::vector<WindowInfo> ws) { return {std::move(ws), seq}; }

TEST(Model, SnapshotsAppendNewWindowsInServerOrderAndIgnoreStaleSeq) {
  Model m;
  m.apply(snap(5, {win(10), win(11)}));
  EXPECT_EQ(m.order, (std::vector<Wid>{10, 11}));
  EXPECT_EQ(m.windows.at(10).born, 5u);
  EXPECT_EQ(m.windows.at(10).ax, AxStatus::pending());

  // Equal seq: ignored entirely, even though it would drop window 11.
  m.apply(snap(5, {win(10)}));
  EXPECT_TRUE(m.windows.contains(11));
  // Older seq: ignored.
  m.apply(snap(4, {win(12)}));
  EXPECT_FALSE(m.windows.contains(12));
  EXPECT_EQ(m.last_snapshot, 5u);

  // A newer snapshot drops what it no longer lists and keeps the known order.
  m.apply(snap(6, {win(12), win(11)}));
  EXPECT_EQ(m.order, (std::vector<Wid>{11, 12}));
  EXPECT_FALSE(m.windows.contains(10));
  EXPECT_FALSE(m.seen.contains(10));
}

TEST(Model, SnapshotCarriesAccessibilityStateAndKeepsSpaceWhenListEmpty) {
  Model m;
  m.apply(snap(1, {win(10, 1, {7}, false)}));
  m.apply(ev::Details{"Doc", 2, 10, true, false, AxStatus::found(true)});
  m.apply(snap(3, {win(10, 1, {}, true)}));
  const WindowRecord& r = m.windows.at(10);
  EXPECT_EQ(r.title, "Doc");
  EXPECT_TRUE(r.minimized);
  EXPECT_EQ(r.ax, AxStatus::found(true));
  EXPECT_EQ(r.born, 1u);
  EXPECT_EQ(r.space, 7u);
  EXPECT_TRUE(r.ever_onscreen);
  m.apply(snap(4, {win(10, 1, {}, false)}));
  EXPECT_TRUE(m.windows.at(10).ever_onscreen);  // never cleared while the record exists
}

TEST(Model, TombstoneKeepsWindowGoneUntilALaterSnapshot) {
  Model m;
  m.apply(snap(10, {win(10)}));
  m.apply(ev::Details{"T", 10, 10, false, false, AxStatus::found(true)});
  m.apply(ev::Destroyed{12, 10});
  EXPECT_FALSE(m.windows.contains(10));
  EXPECT_EQ(m.destroyed.at(10), 12u);

  m.apply(snap(11, {win(10)}));  // taken before the destruction
  EXPECT_FALSE(m.windows.contains(10));
  EXPECT_TRUE(m.order.empty());

  m.apply(snap(13, {win(10)}));  // taken after: the number was reused
  ASSERT_TRUE(m.windows.contains(10));
  const WindowRecord& r = m.windows.at(10);
  EXPECT_EQ(r.born, 13u);
  EXPECT_EQ(r.ax, AxStatus::pending());
  EXPECT_FALSE(r.title.has_value());
  EXPECT_FALSE(m.destroyed.contains(10));
}

TEST(Model, DestroyedOlderThanLastSightingIsIgnored) {
  struct Case { Stamp stamp; bool applied; };
  for (Case c : {Case{8, false}, Case{9, true}, Case{10, true}}) {
    Model m;
    m.apply(snap(9, {win(10)}));
    m.apply(ev::Destroyed{c.stamp, 10});
    EXPECT_EQ(!m.windows.contains(10), c.applied) << "stamp " << c.stamp;
    EXPECT_EQ(m.destroyed.contains(10), c.applied) << "stamp " << c.stamp;
  }
  // The tombstone keeps the larger stamp.
  Model m;
  m.apply(ev::Destroyed{20, 5});
  m.apply(ev::Destroyed{15, 5});
  EXPECT_EQ(m.destroyed.at(5), 20u);
}

TEST(Model, DetailsStampRaces) {
  Model m;
  m.apply(snap(1, {win(10)}));
  m.apply(ev::Details{"seven", 7, 10, false, false, AxStatus::found(true)});
  m.apply(ev::Details{"five", 5, 10, true, true, AxStatus::not_found()});
  EXPECT_EQ(m.windows.at(10).title, "seven");
  EXPECT_FALSE(m.windows.at(10).minimized);
  // The same stamp again is applied, and an absent title replaces a present one.
  m.apply(ev::Details{std::nullopt, 7, 10, false, true, AxStatus::found(false)});
  EXPECT_FALSE(m.windows.at(10).title.has_value());
  EXPECT_TRUE(m.windows.at(10).fullscreen);
  // Unknown windows get no record.
  m.apply(ev::Details{"x", 9, 99, false, false, AxStatus::found(true)});
  EXPECT_FALSE(m.windows.contains(99));
  EXPECT_FALSE(m.details_stamp.contains(99));
}

TEST(Model, PendingFocusKeepsItsPlaceUntilAnOlderReportIsVoid) {
  Model m;
  m.apply(snap(SEQ.load() + 1, {win(10), win(11)}));
  SEQ.store(m.last_snapshot);
  m.apply(ev::Focused{42});  // not known yet: pending with a fresh stamp
  ASSERT_TRUE(m.pending.contains(42));
  const Stamp focus_stamp = m.pending.at(42);
  EXPECT_EQ(m.order.front(), 42u);

  // A snapshot taken after the focus that lists the window keeps its place.
  m.apply(snap(focus_stamp + 1, {win(10), win(11), win(42)}));
  EXPECT_EQ(m.order, (std::vector<Wid>{42, 10, 11}));
  EXPECT_FALSE(m.pending.contains(42));

  // Pending again; a snapshot taken before the focus report that does not list it keeps it.
  SEQ.store(m.last_snapshot);
  m.apply(ev::Focused{43});
  const Stamp s43 = m.pending.at(43);
  m.apply(snap(s43, {win(10), win(11), win(42)}));
  EXPECT_EQ(m.order.front(), 43u);
  // A newer snapshot that still does not list it makes the report void.
  m.apply(snap(s43 + 1, {win(10), win(11), win(42)}));
  EXPECT_FALSE(m.pending.contains(43));
  EXPECT_EQ(m.order, (std::vector<Wid>{42, 10, 11}));
}

TEST(Model, FocusedMovesKnownWindowsToFrontButNeverTombstones) {
  Model m;
  m.apply(snap(1, {win(10, 1), win(11, 2)}));
  m.apply(ev::Focused{11});
  EXPECT_EQ(m.order, (std::vector<Wid>{11, 10}));
  EXPECT_EQ(m.focused.at(2), 11u);

  m.apply(ev::Destroyed{5, 77});
  m.apply(ev::Focused{77});
  m.apply(ev::AppFocused{1, 77});
  EXPECT_EQ(m.order, (std::vector<Wid>{11, 10}));
  EXPECT_FALSE(m.pending.contains(77));
  EXPECT_FALSE(m.focused.contains(1));

  m.apply(ev::AppFocused{1, 10});
  EXPECT_EQ(m.focused.at(1), 10u);
  EXPECT_EQ(m.order, (std::vector<Wid>{11, 10}));  // app focus does not reorder
}

TEST(Model, SnapshotCleanupOfFocusedEntries) {
  Model m;
  m.apply(snap(1, {win(10, 1), win(11, 2)}));
  m.focused[1] = 10;  // held window, dropped when a snapshot no longer lists it
  m.focused[3] = 99;  // never held: stays
  m.apply(snap(2, {win(11, 2)}));
  EXPECT_FALSE(m.focused.contains(1));
  EXPECT_EQ(m.focused.at(3), 99u);
}

TEST(Model, AppLifecycle) {
  Model m;
  m.apply(ev::App{{"A", "com.a", 1, true, false}});
  m.apply(ev::App{{"B", "com.b", 2, true, false}});
  m.apply(ev::App{{"A2", "com.a2", 1, false, true}});
  EXPECT_EQ(m.app_order, (std::vector<Pid>{1, 2}));  // replacing does not move
  EXPECT_EQ(m.apps.at(1).name, "A2");
  EXPECT_FALSE(m.apps.at(1).regular);
  m.apply(ev::Activated{2});
  EXPECT_EQ(m.app_order, (std::vector<Pid>{2, 1}));

  m.apply(snap(1, {win(10, 1), win(20, 2), win(11, 1), win(21, 2)}));
  m.apply(ev::Focused{21});
  m.apply(ev::Terminated{1});
  EXPECT_FALSE(m.apps.contains(1));
  EXPECT_FALSE(m.focused.contains(1));
  EXPECT_EQ(m.app_order, (std::vector<Pid>{2}));
  EXPECT_EQ(m.order, (std::vector<Wid>{21, 20}));
  EXPECT_EQ(m.windows.size(), 2u);

  m.apply(ev::Hidden{2, true});
  EXPECT_TRUE(m.apps.at(2).hidden);
  m.apply(ev::Hidden{9, true});  // unknown app: nothing
  EXPECT_FALSE(m.apps.contains(9));
}

TEST(Model, MinimizeAndEventsThatChangeNothing) {
  Model m;
  m.apply(snap(1, {win(10)}));
  m.apply(ev::Minimized{10});
  EXPECT_TRUE(m.windows.at(10).minimized);
  m.apply(ev::Deminimized{10});
  EXPECT_FALSE(m.windows.at(10).minimized);
  m.apply(ev::Minimized{99});
  EXPECT_FALSE(m.windows.contains(99));
  const auto order = m.order;
  m.apply(ev::Resized{10});
  m.apply(ev::SpaceChanged{});
  m.apply(ev::Expose{true});
  EXPECT_EQ(m.order, order);
}

TEST(Model, RemoveWindowLeavesTombstones) {
  Model m;
  m.apply(snap(1, {win(10, 1), win(11, 1)}));
  m.apply(ev::Focused{10});
  m.destroyed[10] = 0;
  m.remove_window(10);
  EXPECT_FALSE(m.windows.contains(10));
  EXPECT_EQ(m.order, (std::vector<Wid>{11}));
  EXPECT_FALSE(m.focused.contains(1));
  EXPECT_FALSE(m.seen.contains(10));
  EXPECT_TRUE(m.destroyed.contains(10));
}

TEST(AxStatus, DiagnosticText) {
  EXPECT_EQ(AxStatus::pending().to_string(), "Pending");
  EXPECT_EQ(AxStatus::found(true).to_string(), "Found { subrole_ok: true }");
  EXPECT_EQ(AxStatus::found(false).to_string(), "Found { subrole_ok: false }");
  EXPECT_EQ(AxStatus::not_found().to_string(), "NotFound");
}

TEST(Seq, StampsIncreaseAndAreTheValueAfterTheIncrement) {
  const uint64_t before = SEQ.load();
  const Stamp a = next_stamp();
  const Stamp b = next_stamp();
  EXPECT_EQ(a, before + 1);
  EXPECT_EQ(b, a + 1);
}

}  // namespace
}  // namespace mirvex
