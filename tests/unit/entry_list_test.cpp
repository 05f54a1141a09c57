#include "core/entry_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/text.h"

namespace mirvex {
namespace {

// A small desktop: Spaces 1, 2, 3 with Space 1 in view; this process is pid 99.
struct Desk {
  Model m;
  ListContext cx;

  Desk() {
    cx.shortcut = Shortcut::slot(0);
    cx.visible_spaces = {1};
    cx.user_spaces = {1, 2, 3};
    cx.own_pid = 99;
    cx.front_pid = 1;
  }

  RunningApp& app(Pid pid, std::string name, std::optional<std::string> bundle = std::nullopt) {
    m.apps[pid] = RunningApp{std::move(name), std::move(bundle), pid, true, false};
    m.app_order.push_back(pid);
    return m.apps[pid];
  }

  // An ordinary, on-screen window, appended to the MRU order.
  WindowRecord& window(Wid wid, Pid pid, std::vector<SpaceId> spaces = {1},
                       std::optional<std::string> title = std::nullopt) {
    WindowRecord r;
    r.info.wid = wid;
    r.info.pid = pid;
    r.info.spaces = std::move(spaces);
    r.info.bounds = {0, 0, 400, 300};
    r.info.onscreen = true;
    r.ever_onscreen = true;
    r.space = r.info.spaces.empty() ? std::nullopt : std::optional<SpaceId>(r.info.spaces[0]);
    r.title = title ? title : std::optional<std::string>("w" + std::to_string(wid));
    r.born = wid;
    m.order.push_back(wid);
    return m.windows[wid] = r;
  }

  std::vector<Entry> run() const { return list(m, cx); }

  // "w7" for a window entry, "a3" for an application entry.
  std::vector<std::string> ids() const {
    std::vector<std::string> out;
    for (const Entry& e : run()) {
      if (const auto* w = std::get_if<entry::Window>(&e))
        out.push_back("w" + std::to_string(w->wid));
      else
        out.push_back("a" + std::to_string(std::get<entry::App>(e).pid));
    }
    return out;
  }
};

using Ids = std::vector<std::string>;

TEST(EntryList, EmptyModelGivesEmptyList) {
  Desk d;
  EXPECT_TRUE(d.run().empty());
}

// One window of app 1 (not the front app: front is 5), changed by each case.
struct AdmitCase {
  const char* name;
  std::function<void(Desk&, WindowRecord&)> change;
  bool listed;
};

class Admit : public testing::TestWithParam<AdmitCase> {};

TEST_P(Admit, Window) {
  Desk d;
  d.app(1, "Editor", "org.example.editor");
  d.cx.front_pid = 5;
  d.cx.shortcut.windowless = 1;
  WindowRecord& w = d.window(10, 1);
  GetParam().change(d, w);
  EXPECT_EQ(d.ids(), GetParam().listed ? Ids{"w10"} : Ids{}) << GetParam().name;
}

const AdmitCase ADMIT_CASES[] = {
    {"plain", [](Desk&, WindowRecord&) {}, true},
    {"app_unknown", [](Desk& d, WindowRecord&) { d.m.apps.clear(); }, false},
    {"app_not_regular", [](Desk& d, WindowRecord&) { d.m.apps[1].regular = false; }, false},
    {"own_process", [](Desk& d, WindowRecord&) { d.cx.own_pid = 1; }, false},
    {"layer_not_0", [](Desk&, WindowRecord& w) { w.info.layer = 3; }, false},
    {"alpha_0", [](Desk&, WindowRecord& w) { w.info.alpha = 0; }, false},
    {"width_49", [](Desk&, WindowRecord& w) { w.info.bounds.w = 49; }, false},
    {"height_50", [](Desk&, WindowRecord& w) { w.info.bounds.h = 50; }, true},
    {"no_space_info_never_onscreen",
     [](Desk&, WindowRecord& w) {
       w.info.spaces.clear();
       w.space.reset();
       w.ever_onscreen = false;
     },
     false},
    {"no_space_info_once_onscreen",
     [](Desk&, WindowRecord& w) {
       w.info.spaces.clear();
       w.space.reset();
     },
     true},
    {"found_bad_subrole", [](Desk&, WindowRecord& w) { w.ax = AxStatus::found(false); }, false},
    {"found_good_subrole", [](Desk&, WindowRecord& w) { w.ax = AxStatus::found(true); }, true},
    {"not_found_on_visible_space", [](Desk&, WindowRecord& w) { w.ax = AxStatus::not_found(); },
     false},
    {"not_found_elsewhere_once_onscreen",
     [](Desk&, WindowRecord& w) {
       w.ax = AxStatus::not_found();
       w.info.spaces = {2};
     },
     true},
    {"not_found_elsewhere_never_onscreen",
     [](Desk&, WindowRecord& w) {
       w.ax = AxStatus::not_found();
       w.info.spaces = {2};
       w.ever_onscreen = false;
     },
     false},
    {"not_found_remembered_space_visible",
     [](Desk&, WindowRecord& w) {
       w.ax = AxStatus::not_found();
       w.info.spaces.clear();
     },
     false},
    {"visible_filter_other_space",
     [](Desk& d, WindowRecord& w) {
       d.cx.shortcut.spaces = SpacesFilter::Visible;
       w.info.spaces = {2};
     },
     false},
    {"visible_filter_one_of_several_spaces_in_view",
     [](Desk& d, WindowRecord& w) {
       d.cx.shortcut.spaces = SpacesFilter::Visible;
       w.info.spaces = {2, 1};
     },
     true},
    {"visible_filter_no_space_info",
     [](Desk& d, WindowRecord& w) {
       d.cx.shortcut.spaces = SpacesFilter::Visible;
       w.info.spaces.clear();
       w.space.reset();
     },
     true},
    {"active_app_only_not_front", [](Desk& d, WindowRecord&) { d.cx.shortcut.apps = 1; }, false},
    {"active_app_only_front",
     [](Desk& d, WindowRecord&) {
       d.cx.shortcut.apps = 1;
       d.cx.front_pid = 1;
     },
     true},
    {"other_apps_front",
     [](Desk& d, WindowRecord&) {
       d.cx.shortcut.apps = 2;
       d.cx.front_pid = 1;
     },
     false},
    {"exception_hide_1",
     [](Desk& d, WindowRecord&) {
       d.cx.exceptions = {{"org.example.editor", 1, 0}};
     },
     false},
    {"exception_hide_2",
     [](Desk& d, WindowRecord&) {
       d.cx.exceptions = {{"org.example.editor", 2, 0}};
     },
     true},
    {"screen_centre_inside_lower_edge",
     [](Desk& d, WindowRecord&) {
       d.cx.shortcut.screens = 1;
       d.cx.screen = Rect{200, 150, 100, 100};
     },
     true},
    {"screen_centre_on_upper_edge",
     [](Desk& d, WindowRecord&) {
       d.cx.shortcut.screens = 1;
       d.cx.screen = Rect{100, 50, 100, 100};
     },
     false},
    {"screen_filter_without_screen", [](Desk& d, WindowRecord&) { d.cx.shortcut.screens = 1; },
     true},
    {"minimized_hide",
     [](Desk& d, WindowRecord& w) {
       d.cx.shortcut.minimized = 1;
       w.minimized = true;
     },
     false},
    {"hidden_hide",
     [](Desk& d, WindowRecord&) {
       d.cx.shortcut.hidden = 1;
       d.m.apps[1].hidden = true;
     },
     false},
    {"fullscreen_hide",
     [](Desk& d, WindowRecord& w) {
       d.cx.shortcut.fullscreen = 1;
       w.fullscreen = true;
     },
     false},
    {"fullscreen_show", [](Desk&, WindowRecord& w) { w.fullscreen = true; }, true},
};

INSTANTIATE_TEST_SUITE_P(EntryList, Admit, testing::ValuesIn(ADMIT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EntryList, EntryFieldsAndSpaceNumber) {
  Desk d;
  d.app(1, "Editor").hidden = true;
  WindowRecord& w = d.window(10, 1, {2}, std::nullopt);
  w.title.reset();
  w.minimized = true;
  std::vector<Entry> out = d.run();
  ASSERT_EQ(out.size(), 1u);
  // No title: the application's name. On the second Space while the first is shown: 2.
  EXPECT_EQ(out[0], Entry(entry::Window{10, 1, "Editor", true, true, false, 2u}));

  d.cx.visible_spaces = {2};
  EXPECT_EQ(std::get<entry::Window>(d.run()[0]).space, std::nullopt);
  // A Space the user's list does not know gives no number.
  d.cx.visible_spaces = {1};
  d.m.windows[10].info.spaces = {42};
  EXPECT_EQ(std::get<entry::Window>(d.run()[0]).space, std::nullopt);
}

TEST(EntryList, Orders) {
  Desk d;
  d.app(1, "beta");
  d.app(2, "Alpha");
  d.app(3, "Émile");  // lower-cased "é" is C3 A9: after every ASCII letter in byte order
  d.app(4, "zed");
  // MRU order: 10, 11, 12, 13, 14, 15.
  d.window(10, 1, {3}, "b").born = 5;
  d.window(11, 2, {1}, "Zoo").born = 7;
  d.window(12, 3, {}, "x").born = 5;
  d.window(13, 4, {2}, "y").born = 9;
  d.window(14, 2, {3}, "apple").born = 1;
  d.window(15, 1, {1}, "A").born = 5;

  d.cx.shortcut.order = 0;
  EXPECT_EQ(d.ids(), (Ids{"w10", "w11", "w12", "w13", "w14", "w15"}));
  d.cx.shortcut.order = 1;  // newest first; equal births keep MRU order
  EXPECT_EQ(d.ids(), (Ids{"w13", "w11", "w10", "w12", "w15", "w14"}));
  d.cx.shortcut.order = 2;  // app name then title, case-insensitive, UTF-8 bytes
  EXPECT_EQ(d.ids(), (Ids{"w14", "w11", "w15", "w10", "w13", "w12"}));
  d.cx.shortcut.order = 3;  // Space position; no Space last
  EXPECT_EQ(d.ids(), (Ids{"w11", "w15", "w13", "w10", "w14", "w12"}));
}

TEST(EntryList, AlphabeticalTitlesCompareLowerCasedUtf8) {
  // Titles of one application, compared as their full lower-cased UTF-8 bytes: the Kelvin
  // sign lower-cases to an ASCII k, "é" sorts after every ASCII letter, a prefix sorts first,
  // and case never decides.
  const std::vector<std::string> titles{"kb",
                                        "\u212Aa",
                                        "Zeta",
                                        "éclair",
                                        "apple pie",
                                        "Apple",
                                        "ABCé",
                                        "abc",
                                        "ÀB",
                                        "àa",
                                        "ΑΣ b",
                                        "ας a",
                                        "",
                                        "B",
                                        "b",
                                        "Document 2",
                                        "DOCUMENT 10",
                                        "document",
                                        "documenté",
                                        std::string("ab\0c", 4),
                                        std::string("ab\0", 3)};
  Desk d;
  d.app(1, "Editor");
  for (size_t i = 0; i < titles.size(); ++i) d.window(static_cast<Wid>(10 + i), 1, {1}, titles[i]);
  d.cx.shortcut.order = 2;
  std::vector<std::string> want = titles;
  std::stable_sort(want.begin(), want.end(), [](const std::string& a, const std::string& b) {
    return text::lower(a) < text::lower(b);
  });
  std::vector<std::string> got;
  for (const Entry& e : d.run()) got.push_back(std::get<entry::Window>(e).title);
  EXPECT_EQ(got, want);
  // Spot checks of the reference itself.
  EXPECT_EQ(got.front(), "");
  EXPECT_LT(std::find(got.begin(), got.end(), "\u212Aa"), std::find(got.begin(), got.end(), "kb"));
  EXPECT_LT(std::find(got.begin(), got.end(), "abc"), std::find(got.begin(), got.end(), "ABCé"));
  EXPECT_LT(std::find(got.begin(), got.end(), "B"),
            std::find(got.begin(), got.end(), "b"));  // stable
}

TEST(EntryList, SpaceOrderPutsWindowsWithoutSpaceLast) {
  Desk d;
  d.app(1, "A");
  d.window(10, 1, {3});
  d.window(11, 1, {1});
  d.window(12, 1, {});
  d.cx.shortcut.order = 3;
  EXPECT_EQ(d.ids(), (Ids{"w11", "w10", "w12"}));
}

TEST(EntryList, SinkingWindowsKeepTheirOrderAtTheEnd) {
  Desk d;
  d.app(1, "b");
  d.app(2, "a").hidden = true;
  d.window(10, 1, {1}, "m1").minimized = true;
  d.window(11, 1, {1}, "z");
  d.window(12, 2, {1}, "h");
  d.window(13, 1, {1}, "m0").minimized = true;
  d.window(14, 1, {1}, "f").fullscreen = true;
  d.window(15, 1, {1}, "c");
  d.cx.shortcut.minimized = 2;
  d.cx.shortcut.hidden = 2;
  d.cx.shortcut.fullscreen = 2;
  d.cx.shortcut.order = 2;
  // Sorted: h(a) c f m0 m1 z; sinking ones (h, f, m0, m1) follow in that sorted order.
  EXPECT_EQ(d.ids(), (Ids{"w15", "w11", "w12", "w14", "w13", "w10"}));
  d.cx.shortcut.order = 0;
  EXPECT_EQ(d.ids(), (Ids{"w11", "w15", "w10", "w12", "w13", "w14"}));
}

TEST(EntryList, WindowlessApplications) {
  Desk d;
  d.app(1, "Editor");
  d.app(2, "Finder", "com.apple.finder");
  d.app(3, "Mail");
  d.app(4, "Agent").regular = false;
  d.app(99, "mirvex");
  d.app(6, "Notes");
  d.app(7, "Secret", "org.example.secret");
  d.app(8, "Player");
  d.m.app_order = {8, 7, 6, 99, 4, 3, 2, 1};
  d.window(10, 1);
  d.window(20, 2);
  d.window(30, 3).minimized = true;  // app 3 has a window, filtered out below
  d.cx.shortcut.minimized = 1;
  d.cx.exceptions = default_exceptions();
  d.cx.exceptions.push_back({"org.example.secret", 1, 0});
  d.cx.front_pid = 6;

  // Finder (hide 2): windows listed, never as an application without windows. Mail's only
  // window is hidden by the filter, and Mail is not offered as windowless either.
  EXPECT_EQ(d.ids(), (Ids{"w10", "w20", "a8", "a6"}));
  d.m.windows.erase(20);
  EXPECT_EQ(d.ids(), (Ids{"w10", "a8", "a6"}));

  d.cx.shortcut.apps = 1;  // active app only
  EXPECT_EQ(d.ids(), (Ids{"a6"}));
  d.cx.shortcut.apps = 2;  // other apps
  EXPECT_EQ(d.ids(), (Ids{"w10", "a8"}));
  d.cx.shortcut.apps = 0;
  d.cx.shortcut.windowless = 1;
  EXPECT_EQ(d.ids(), (Ids{"w10"}));
}

TEST(EntryList, AllAppsKeepsFirstEntryPerApplication) {
  Desk d;
  d.app(1, "Editor");
  d.app(2, "Mail");
  d.app(3, "Notes");
  d.window(10, 1);
  d.window(20, 2);
  d.window(11, 1);
  d.window(12, 1);
  d.cx.shortcut.apps = 3;
  EXPECT_EQ(d.ids(), (Ids{"w10", "w20", "a3"}));
  d.cx.shortcut.order = 2;  // the first in list order, after sorting
  d.m.windows[12].title = "a";
  EXPECT_EQ(d.ids(), (Ids{"w12", "w20", "a3"}));
}

TEST(EntryList, DiagnosticText) {
  EXPECT_EQ(to_string(Entry(entry::Window{7, 3, "Inbox", false, true, false, 2u})),
            "Window { wid: 7, pid: 3, title: \"Inbox\", minimized: false, hidden: true, "
            "fullscreen: false, space: Some(2) }");
  EXPECT_EQ(to_string(Entry(entry::Window{7, 3, "", true, false, true, std::nullopt})),
            "Window { wid: 7, pid: 3, title: \"\", minimized: true, hidden: false, "
            "fullscreen: true, space: None }");
  EXPECT_EQ(to_string(Entry(entry::App{-1, "Mail"})), "App { pid: -1, name: \"Mail\" }");
  // A title cannot end the quoted text or the log line.
  EXPECT_EQ(to_string(Entry(entry::App{1, "a\"b\\c\nd\x01"})),
            "App { pid: 1, name: \"a\\\"b\\\\c\\nd\\u{1}\" }");
}

}  // namespace
}  // namespace mirvex
