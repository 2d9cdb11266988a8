// Paints the market's shop grid: one page of 20 cards in a 1160-wide window, as a scroll
// by one step repaints it. A frame at 60 per second has 16.7 ms.
#include <chrono>

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include "online/MarketInstallStage.h"
#include "ui/Appearance.h"
#include "market/MarketCard.h"
#include "market/MarketGrid.h"

namespace {

QList<MarketPlugin> page()
{
    QList<MarketPlugin> plugins;
    for (int i = 0; i < 20; ++i) {
        MarketPlugin p;
        p.pluginId = QStringLiteral("p%1").arg(i);
        p.name = QStringLiteral("插件名称 %1 ").arg(i) + QString(i % 3 == 0 ? 280 : 8, QChar(u'光'));
        p.subtitle = QStringLiteral("一键套用，参数可调 <b>markup</b>");
        p.category = i % 2 ? QStringLiteral("字幕") : QStringLiteral("转场");
        p.price = i % 4 == 0 ? 0 : 2990;
        p.finalPrice = i % 4 == 0 ? 0 : 1990;
        p.featured = i % 5 == 0;
        p.owned = i % 7 == 0;
        plugins.append(p);
    }
    return plugins;
}

void BM_PaintGridPage(benchmark::State& state)
{
    MarketGrid grid;
    grid.setPlugins(page());
    grid.setFlow(QStringLiteral("p3"), MarketInstallStage::downloading(40, 100));
    const int width = 1160 - 2 * 48;
    grid.resize(width, grid.heightForWidth(width));
    grid.show();
    QCoreApplication::processEvents();
    // The visible window of the scroll area, moved one wheel step per frame.
    const int viewport = 700;
    QImage frame(width, viewport, QImage::Format_ARGB32_Premultiplied);
    int offset = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        frame.fill(Qt::transparent);
        grid.render(&frame, QPoint(), QRegion(0, offset, width, viewport));
        offset = (offset + 40) % std::max(1, grid.height() - viewport);
        benchmark::DoNotOptimize(frame.bits());
    }
    // Frames delivered per second of wall time: a rate counter would divide by CPU time,
    // which leaves out the time the painting thread waited.
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["frames_per_s"] = wall > 0 ? double(state.iterations()) / wall : 0.0;
}
BENCHMARK(BM_PaintGridPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReloadSamePage(benchmark::State& state)
{
    MarketGrid grid;
    const QList<MarketPlugin> plugins = page();
    grid.resize(1064, 2000);
    for (auto _ : state) {
        grid.setPlugins(plugins); // the cards are kept by pluginId
        benchmark::DoNotOptimize(grid.cards().size());
    }
}
BENCHMARK(BM_ReloadSamePage)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Appearance::install(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
