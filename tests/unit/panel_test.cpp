#include "app/panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImageReader>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <thread>

#include "app/shots.h"

namespace mirvex {
namespace {

void wait_ms(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

std::vector<PanelItem> items(size_t n) {
  std::vector<PanelItem> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i].row.title = "Window " + std::to_string(i);
    out[i].row.app_name = "App " + std::to_string(i);
    out[i].row.bundle_id = "org.example.app" + std::to_string(i);
  }
  return out;
}

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    panel.set_reduce_motion([] { return true; });
    RowsView* v = panel.rows_view();
    v->on_click = [this](size_t i) { clicks.push_back(i); };
    v->on_hover = [this](size_t i) { hovers.push_back(i); };
    v->on_scroll = [this](int step) { scrolls.push_back(step); };
  }

  static Look look(Style style, double screen_h = 800) {
    Look l;
    l.style = style;
    l.extra = std::make_shared<Rect>(Rect{0, 0, 1200, screen_h});
    return l;
  }

  // Sends a mouse event at a point in the rows' coordinates.
  void mouse(QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::LeftButton) {
    RowsView* v = panel.rows_view();
    const QPointF local = at - v->origin;
    QMouseEvent e(type, local, v->mapToGlobal(local), type == QEvent::MouseMove ? Qt::NoButton : button,
                  type == QEvent::MouseMove ? Qt::NoButton : button, Qt::NoModifier);
    QCoreApplication::sendEvent(v, &e);
  }

  void wheel(QPoint pixel, QPoint angle, Qt::ScrollPhase phase = Qt::NoScrollPhase) {
    RowsView* v = panel.rows_view();
    const QPointF at(20, 20);
    QWheelEvent e(at, v->mapToGlobal(at), pixel, angle, Qt::NoButton, Qt::NoModifier, phase, false);
    QCoreApplication::sendEvent(v, &e);
  }

  QPointF centre(size_t i) const {
    const Rect& r = panel.frames().items.at(i).item;
    return QPointF(r.x + r.w / 2, r.y + r.h / 2);
  }

  QImage grab() {
    QImage img(panel.window()->size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    panel.window()->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
  }

  Panel panel;
  std::vector<size_t> clicks, hovers;
  std::vector<int> scrolls;
};

TEST_F(PanelTest, ClickReportsTheItemUnderThePointerOnly) {
  panel.show(items(3), 0, look(Style::Thumbnails));  // thumbnails leave 24 points between items
  const Rect a = panel.frames().items[0].item;
  const Rect b = panel.frames().items[1].item;
  mouse(QEvent::MouseButtonPress, centre(1));
  mouse(QEvent::MouseButtonPress, QPointF(a.x, a.y));                       // top-left edge: inside
  mouse(QEvent::MouseButtonPress, QPointF(a.x + a.w, a.y + 10));            // right edge: outside
  mouse(QEvent::MouseButtonPress, QPointF((a.x + a.w + b.x) / 2, a.y + 10));  // between two items
  mouse(QEvent::MouseButtonPress, QPointF(a.x + 5, a.y + a.h));             // bottom edge: outside
  mouse(QEvent::MouseButtonPress, centre(2), Qt::RightButton);
  EXPECT_EQ(clicks, (std::vector<size_t>{1, 0}));
}

TEST_F(PanelTest, WithoutCompositingTheWindowCutsItsRoundedShape) {
  bool composited = false;
  panel.set_compositing([&] { return composited; });
  Look l = look(Style::Titles);
  l.corner = 20;
  panel.show(items(3), 0, l);
  const QRegion cut = panel.window()->mask();
  const QSize size = panel.window()->size();
  ASSERT_FALSE(cut.isEmpty());
  EXPECT_FALSE(cut.contains(QPoint(1, 1))) << "the clear corner is cut";
  EXPECT_FALSE(cut.contains(QPoint(size.width() - 2, size.height() - 2)));
  EXPECT_TRUE(cut.contains(QPoint(size.width() / 2, size.height() / 2)));
  EXPECT_TRUE(cut.contains(QPoint(size.width() / 2, 1))) << "edges stay";

  composited = true;
  panel.show(items(3), 0, l);
  EXPECT_TRUE(panel.window()->mask().isEmpty()) << "a compositor blends the corners itself";
}

TEST_F(PanelTest, MouseIsIgnoredUnlessShown) {
  panel.render(items(3), 0, look(Style::Titles));
  mouse(QEvent::MouseButtonPress, centre(1));
  panel.show(items(3), 0, look(Style::Titles));
  const QPointF at = centre(1);
  panel.hide();
  mouse(QEvent::MouseButtonPress, at);
  wheel(QPoint(0, 100), QPoint(0, 120));
  EXPECT_TRUE(clicks.empty());
  EXPECT_TRUE(scrolls.empty());
  EXPECT_FALSE(panel.rows_view()->interactive);
}

TEST_F(PanelTest, HoverSelectsOncePerItem) {
  Look l = look(Style::Titles);
  l.hover = true;
  panel.show(items(3), 0, l);
  mouse(QEvent::MouseMove, centre(2));
  mouse(QEvent::MouseMove, centre(2) + QPointF(10, 3));
  mouse(QEvent::MouseMove, centre(0));
  EXPECT_EQ(panel.rows_view()->hovered, 0u);
  mouse(QEvent::MouseMove, QPointF(2, 2));  // outside every item
  EXPECT_FALSE(panel.rows_view()->hovered);
  mouse(QEvent::MouseMove, centre(0));
  EXPECT_EQ(hovers, (std::vector<size_t>{2, 0, 0}));

  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(panel.rows_view(), &leave);
  EXPECT_FALSE(panel.rows_view()->hovered);

  l.hover = false;  // the hover visuals stay, the selection does not follow
  panel.show(items(3), 0, l);
  mouse(QEvent::MouseMove, centre(1));
  EXPECT_EQ(panel.rows_view()->hovered, 1u);
  EXPECT_EQ(hovers.size(), 3u);
}

TEST_F(PanelTest, WheelStepsAccumulatePreciseDeltas) {
  Look l = look(Style::Titles);
  l.scroll = true;
  panel.show(items(3), 0, l);
  for (int k = 0; k < 6; ++k) wheel(QPoint(0, 3), QPoint(0, 3));  // 6 x 3 / 20 = 0.9
  EXPECT_TRUE(scrolls.empty());
  wheel(QPoint(0, 3), QPoint(0, 3));  // 1.05: one step up, 0.05 kept
  EXPECT_EQ(scrolls, (std::vector<int>{-1}));
  wheel(QPoint(0, 400), QPoint(0, 400), Qt::ScrollMomentum);  // the flick's tail is ignored
  EXPECT_EQ(scrolls.size(), 1u);
  wheel(QPoint(0, -21), QPoint(0, -21));  // 0.05 - 1.05 = -1: one step down
  EXPECT_EQ(scrolls, (std::vector<int>{-1, 1}));
  scrolls.clear();
  wheel(QPoint(), QPoint(0, -240));  // two notches of a plain wheel
  EXPECT_EQ(scrolls, (std::vector<int>{1, 1}));
}

TEST_F(PanelTest, WheelScrollsTheListWhenItDoesNotSelect) {
  panel.show(items(30), 0, look(Style::Titles, 400));
  ASSERT_GT(panel.frames().rows_h, panel.frames().scroll.h);
  wheel(QPoint(), QPoint(0, -120));
  EXPECT_EQ(panel.rows_view()->origin.y(), 40);
  wheel(QPoint(), QPoint(0, 1200));  // clamped at the top
  EXPECT_EQ(panel.rows_view()->origin.y(), 0);
  EXPECT_TRUE(scrolls.empty());
}

TEST_F(PanelTest, ClickPostsThroughTheMousePath) {
  panel.show(items(4), 0, look(Style::AppIcons));
  panel.click(3);
  panel.click(9);  // no such item
  EXPECT_TRUE(clicks.empty());  // posted, not sent
  QCoreApplication::processEvents();
  EXPECT_EQ(clicks, (std::vector<size_t>{3}));
}

TEST_F(PanelTest, SelectClampsAndHidesTheHighlightWithoutItems) {
  panel.render(items(3), 0, look(Style::AppIcons));
  panel.select(10);
  EXPECT_EQ(panel.selected(), 2u);
  ASSERT_TRUE(panel.highlight());
  const Rect want = highlight_frame(panel.frames(), 2);
  EXPECT_EQ(*panel.highlight(), QRectF(want.x, want.y, want.w, want.h));
  panel.render({}, 0, look(Style::AppIcons));
  EXPECT_FALSE(panel.highlight());
  EXPECT_TRUE(panel.frames().no_matches);
}

TEST_F(PanelTest, SelectScrollsTheItemIntoViewWithAMargin) {
  panel.show(items(30), 0, look(Style::Titles, 400));
  const PanelFrames& f = panel.frames();
  panel.select(29);
  EXPECT_EQ(panel.rows_view()->origin.y(), f.rows_h - f.scroll.h);
  panel.select(10);  // 16 + 480 - 16 = 480 is the top that keeps the margin
  EXPECT_EQ(panel.rows_view()->origin.y(), 480);
  panel.select(0);
  EXPECT_EQ(panel.rows_view()->origin.y(), 0);
}

TEST_F(PanelTest, WarmLaysOutWithoutShowingAndNeverDisturbsASession) {
  panel.warm(items(5), look(Style::Titles));
  EXPECT_FALSE(panel.window()->isVisible());
  EXPECT_FALSE(panel.shown());
  EXPECT_EQ(panel.frames().items.size(), 5u);
  panel.show(items(2), 1, look(Style::Titles));
  panel.warm(items(5), look(Style::Titles));
  EXPECT_EQ(panel.rows().size(), 2u);
  EXPECT_EQ(panel.selected(), 1u);
  EXPECT_TRUE(panel.window()->isVisible());
}

TEST_F(PanelTest, FadeOutOrdersOutUnlessShownAgain) {
  panel.set_reduce_motion(nullptr);
  Look l = look(Style::Titles);
  l.fadeOut = true;
  panel.show(items(2), 0, l);
  const uint64_t gen = panel.generation();
  panel.hide();
  EXPECT_EQ(panel.generation(), gen + 1);
  EXPECT_TRUE(panel.window()->isVisible());  // fading
  wait_ms(40);
  panel.show(items(2), 1, l);
  wait_ms(250);
  EXPECT_TRUE(panel.window()->isVisible());

  panel.hide();
  wait_ms(250);
  EXPECT_FALSE(panel.window()->isVisible());

  l.fadeOut = false;
  panel.show(items(2), 0, l);
  panel.hide();
  EXPECT_FALSE(panel.window()->isVisible());
  EXPECT_TRUE(panel.rows().empty());
}

TEST_F(PanelTest, UpdateThumbRelaysOutWhenTheAspectChanges) {
  panel.show(items(2), 0, look(Style::Thumbnails));
  const double h = std::round(220 * 0.6);
  ASSERT_EQ(panel.frames().items[0].item.w, std::round(1.6 * h) + 12);
  QImage square(100, 100, QImage::Format_ARGB32_Premultiplied);
  square.fill(Qt::red);
  panel.update_thumb(0, square);
  EXPECT_EQ(panel.frames().items[0].item.w, h + 12);
  EXPECT_TRUE(panel.frames().items[0].image);

  QImage nearly(1005, 1000, QImage::Format_ARGB32_Premultiplied);  // half a percent wider
  nearly.fill(Qt::blue);
  panel.update_thumb(0, nearly);
  EXPECT_EQ(panel.frames().items[0].item.w, h + 12);  // not laid out again
  EXPECT_DOUBLE_EQ(panel.frames().items[0].image->w, h);  // refitted in its area
  EXPECT_DOUBLE_EQ(panel.frames().items[0].image->h, h / 1.005);

  panel.update_thumb(7, square);  // no such entry
  EXPECT_EQ(panel.rows().size(), 2u);
}

TEST_F(PanelTest, BadgesAndSearchRelayoutWhileShown) {
  panel.show(items(3), 0, look(Style::Titles));
  panel.set_badges({{"org.example.app1", "4"}, {"org.example.other", "9"}});
  EXPECT_FALSE(panel.frames().items[0].badge);
  ASSERT_TRUE(panel.frames().items[1].badge);
  EXPECT_EQ(panel.frames().items[1].badge->str, "4");
  panel.set_badges({});
  EXPECT_FALSE(panel.frames().items[1].badge);

  const QRect before = panel.window()->geometry();
  panel.set_search("ma");
  EXPECT_TRUE(panel.frames().search_glyph);
  EXPECT_EQ(panel.window()->geometry().top(), before.top());  // grows downwards
  EXPECT_EQ(panel.window()->geometry().height(), before.height() + 40);
  panel.set_search(std::nullopt);
  EXPECT_FALSE(panel.frames().search_glyph);
}

// The highlight is drawn where the selection is: the selected row's empty end is darker than
// an unselected row's in the light theme and lighter in the dark theme.
TEST_F(PanelTest, RenderedHighlightSitsOnTheSelection) {
  for (Theme theme : {Theme::Light, Theme::Dark}) {
    Look l = look(Style::Titles);
    l.theme = theme;
    panel.render(items(3), 1, l);
    const QImage img = grab();
    const auto& it = panel.frames().items;
    auto at = [&](size_t i) {
      return img.pixelColor(int(it[i].item.x + it[i].item.w - 6), int(it[i].item.y + it[i].item.h / 2)).lightness();
    };
    if (theme == Theme::Light) {
      EXPECT_LT(at(1), at(0) - 10);
    } else {
      EXPECT_GT(at(1), at(0) + 10);
    }
    EXPECT_EQ(at(0), at(2));
  }
  // App icons: a square behind the selected icon shows round its edge.
  Look l = look(Style::AppIcons);
  l.theme = Theme::Light;
  panel.render(items(3), 2, l);
  const QImage img = grab();
  const auto& it = panel.frames().items;
  auto rim = [&](size_t i) {
    const Rect hl = highlight_frame(panel.frames(), i);
    return img.pixelColor(int(hl.x + 1), int(hl.y + hl.h / 2)).lightness();
  };
  EXPECT_LT(rim(2), rim(0) - 10);
  EXPECT_EQ(it.size(), 3u);
}

// A list that scrolls fades at the edge where content continues, and only there.
TEST_F(PanelTest, ScrollFadeClearsTheEdgeWhereContentContinues) {
  auto same = items(30);
  for (PanelItem& i : same) i.row.bundle_id = "org.example.same";  // identical icons
  for (bool on : {true, false}) {
    Look l = look(Style::Titles, 400);
    l.theme = Theme::Light;
    l.scrollFade = on;
    panel.render(same, 0, l);
    const QImage img = grab();
    // Icon centres sit at 40 + 48 k; row 7's (376) is in the bottom 36-point band, row 3's is not.
    auto icon = [&](int k) { return img.pixelColor(32, 40 + 48 * k); };
    const int diff = std::abs(icon(7).lightness() - icon(3).lightness()) + std::abs(icon(7).alpha() - icon(3).alpha());
    if (on) {
      EXPECT_GT(diff, 20);
    } else {
      EXPECT_EQ(diff, 0);
    }
    EXPECT_EQ(icon(0), icon(3)) << on;  // the top is not scrolled past: no fade there
  }
}

// Drawing is kept across summons as pictures; none may come back stale. After other themes,
// densities and scroll positions, and with the same-sized window image and icon of row 0
// replaced, the panel draws exactly what a fresh panel draws.
TEST_F(PanelTest, KeptDrawingNeverShowsAStalePicture) {
  auto picture = [](Panel& p, double scale) {
    QImage img(p.window()->size() * scale, QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(scale);
    img.fill(Qt::transparent);
    p.window()->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
  };
  auto differing = [](const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return -1;
    int n = 0;
    for (int y = 0; y < a.height(); ++y) {
      for (int x = 0; x < a.width(); ++x) n += a.pixel(x, y) != b.pixel(x, y);
    }
    return n;
  };
  const std::vector<PanelItem> demo = shots::rows();  // icons, window images, chips, badges
  std::vector<PanelItem> changed = demo;
  ASSERT_FALSE(changed[0].image.isNull());
  changed[0].image = changed[0].image.copy();
  changed[0].image.fill(QColor(200, 40, 40));
  changed[0].icon = changed[0].icon.copy();
  changed[0].icon.fill(QColor(40, 200, 40));
  for (Style style : {Style::Titles, Style::AppIcons, Style::Thumbnails}) {
    Look light = look(style, 400);  // short enough to scroll
    light.theme = Theme::Light;
    Look dark = light;
    dark.theme = Theme::Dark;
    panel.render(demo, 0, light);
    panel.rows_view()->origin = QPointF(0, 7.25);
    for (double scale : {1.0, 2.0}) picture(panel, scale);
    panel.render(demo, 1, dark);
    for (double scale : {1.0, 2.0}) picture(panel, scale);

    panel.render(changed, 0, dark);
    Panel fresh;
    fresh.set_reduce_motion([] { return true; });
    fresh.render(changed, 0, dark);
    for (QPointF origin : {QPointF(0, 0), QPointF(0, 7.5)}) {
      panel.rows_view()->origin = fresh.rows_view()->origin = origin;
      for (double scale : {1.0, 2.0}) {
        EXPECT_EQ(differing(picture(panel, scale), picture(fresh, scale)), 0)
            << "style " << int(style) << " scale " << scale << " origin " << origin.y();
      }
    }
  }
}

TEST_F(PanelTest, ShotsWriteEveryStyleSizeAndTheme) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  EXPECT_EQ(shots::panel(dir.path()), 0);
  const QStringList files = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
  EXPECT_EQ(files.size(), 21);
  for (const char* style : {"titles", "appicons", "thumbnails"}) {
    for (const char* size : {"small", "medium", "large"}) {
      for (const char* theme : {"light", "dark"}) {
        const QString name = QString("panel-%1-%2-%3.png").arg(style, size, theme);
        EXPECT_TRUE(files.contains(name)) << name.toStdString();
      }
    }
    EXPECT_TRUE(files.contains(QString("panel-%1-hints-search.png").arg(style))) << style;
  }
  // Sizes differ, and every file is a picture.
  const QImage small(QDir(dir.path()).filePath("panel-appicons-small-light.png"));
  const QImage large(QDir(dir.path()).filePath("panel-appicons-large-light.png"));
  ASSERT_FALSE(small.isNull());
  EXPECT_LT(small.height(), large.height());
  for (const QString& f : files) EXPECT_FALSE(QImageReader(QDir(dir.path()).filePath(f)).read().isNull());
}

TEST(PanelDeathTest, CreatedOffTheMainThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::thread t([] { Panel p; });
        t.join();
      },
      "Panel must be created on the main thread");
}

}  // namespace
}  // namespace mirvex

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
