// Showing the panel for a summon of 20 rows, from `show` to the end of the first paint, on
// Qt's off-screen platform.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEvent>
#include <memory>

#include "app/panel.h"
#include "app/shots.h"

namespace mirvex {
namespace {

std::vector<PanelItem> twenty_rows() {
  const std::vector<PanelItem> demo = shots::rows();
  std::vector<PanelItem> out;
  for (size_t i = 0; i < 20; ++i) {
    PanelItem item = demo[i % demo.size()];
    item.row.title += " " + std::to_string(i);
    out.push_back(std::move(item));
  }
  return out;
}

// Counts the paint events the rows view receives.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

void BM_PanelShowFirstPaint(benchmark::State& state) {
  Panel panel;
  const std::vector<PanelItem> rows = twenty_rows();
  Look l = look(Settings::defaults(), 0, rows.size(), std::make_shared<Rect>(Rect{0, 0, 1440, 900}));
  l.style = static_cast<Style>(state.range(0));
  panel.warm(rows, l);
  PaintCounter counter;
  panel.rows_view()->installEventFilter(&counter);
  for (auto _ : state) {
    const int before = counter.paints;
    panel.show(rows, 3, l);
    // The first paint arrives with the window's expose; the rows are drawn once it returns.
    while (counter.paints == before) QCoreApplication::processEvents();
    state.PauseTiming();
    panel.hide();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.counters["paints"] = benchmark::Counter(counter.paints, benchmark::Counter::kAvgIterations);
  state.SetLabel(l.style == Style::Titles ? "titles" : l.style == Style::AppIcons ? "appicons" : "thumbnails");
}
// CPU time is the whole process's: Qt's raster engine hands large fills to its worker threads.
BENCHMARK(BM_PanelShowFirstPaint)->Arg(0)->Arg(1)->Arg(2)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The first summon after the launch warmed a new panel: nothing drawn on screen yet.
void BM_PanelFirstShowAfterWarm(benchmark::State& state) {
  const std::vector<PanelItem> rows = twenty_rows();
  Look l = look(Settings::defaults(), 0, rows.size(), std::make_shared<Rect>(Rect{0, 0, 1440, 900}));
  l.style = static_cast<Style>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto panel = std::make_unique<Panel>();
    panel->warm(rows, l);
    PaintCounter counter;
    panel->rows_view()->installEventFilter(&counter);
    QCoreApplication::processEvents();
    state.ResumeTiming();
    panel->show(rows, 3, l);
    while (counter.paints == 0) QCoreApplication::processEvents();
    state.PauseTiming();
    panel.reset();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetLabel(l.style == Style::Titles ? "titles" : l.style == Style::AppIcons ? "appicons" : "thumbnails");
}
BENCHMARK(BM_PanelFirstShowAfterWarm)->Arg(0)->Arg(1)->Arg(2)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mirvex

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
