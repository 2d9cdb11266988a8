// The plug-in list's search at LOOMWORK_BENCH_PLUGINS plug-ins (default 50,000), timed as
// the user meets it: the store filters, the list model and the shown list view follow, then
// the event loop runs what the keystroke posted (the layout, and the repaint of the window
// where it changed). A frame at 60 per second has 16.7 ms.
//   - BM_WorstKeystroke: the key that brings every row back (a narrow search cleared);
//   - BM_TypingAndErasing: a word typed and erased a key at a time, with the worst key.
// The plug-ins are empty folders in a temporary library (on /dev/shm when there is one);
// HOME, XDG_* and LOOMWORK_SYSTEM_LIBRARY point there, so no real library is read.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMainWindow>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"
#include "library/PluginListView.h"
#include "ui/Appearance.h"

namespace fs = std::filesystem;

namespace {

const char* const kCategories[] = {"Effects.localized", "Titles.localized", "Generators.localized",
                                   "Transitions.localized"};
const char* const kWords[] = {"Glow", "Light Leak", "Lower Third", "Wipe", "Blur", "News Title", "Clouds", "光效"};

struct Library
{
    fs::path dir;
    std::unique_ptr<AppState> state;
    std::unique_ptr<OperationsCenter> ops;
    std::unique_ptr<QMainWindow> window;
    PluginListView* list = nullptr;

    Library()
    {
        std::error_code ec;
        const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        dir = base / ("loomwork-bench-list-" + std::to_string(::getpid()));
        ::setenv("HOME", (dir / "home").c_str(), 1);
        ::setenv("LOOMWORK_SYSTEM_LIBRARY", (dir / "system").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        const char* env = std::getenv("LOOMWORK_BENCH_PLUGINS");
        const int count = env ? std::atoi(env) : 50000;
        const fs::path roots[] = {dir / "home/Movies/Motion Templates.localized", dir / "system"};
        for (int i = 0; i < count; ++i) {
            fs::create_directories(roots[i % 3 == 0 ? 1 : 0] / kCategories[i % 4] /
                                   (std::string(kWords[i % 8]) + " " + std::to_string(i) + " 插件"));
        }

        state = std::make_unique<AppState>();
        ops = std::make_unique<OperationsCenter>();
        window = std::make_unique<QMainWindow>();
        list = new PluginListView(state.get(), ops.get(), {}, window.get());
        window->setCentralWidget(list);
        window->resize(1100, 700);
        window->show();
        list->openSearch();
        QEventLoop loop;
        QObject::connect(state.get(), &AppState::scanFinished, &loop, &QEventLoop::quit);
        state->refresh();
        loop.exec();
        QCoreApplication::processEvents();
    }
    ~Library()
    {
        window.reset();
        ops.reset();
        state.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // One keystroke: the store, then the posted layout and repaint.
    double keystroke(const QString& text)
    {
        const auto start = std::chrono::steady_clock::now();
        state->setSearchText(text);
        QCoreApplication::processEvents();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

// Made on first use, gone before the application object.
std::unique_ptr<Library> g_library;

Library& library()
{
    if (!g_library)
        g_library = std::make_unique<Library>();
    return *g_library;
}

void BM_WorstKeystroke(benchmark::State& state)
{
    Library& l = library();
    for (auto _ : state) {
        l.keystroke(QStringLiteral("glow 4999"));
        state.SetIterationTime(l.keystroke(QString()));
    }
    state.counters["rows"] = double(l.state->filteredCount());
}
BENCHMARK(BM_WorstKeystroke)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_TypingAndErasing(benchmark::State& state)
{
    Library& l = library();
    const QString word = QStringLiteral("light 1");
    double worst = 0;
    for (auto _ : state) {
        double total = 0;
        for (qsizetype n = 1; n <= word.size(); ++n)
            total += l.keystroke(word.left(n));
        for (qsizetype n = word.size() - 1; n >= 0; --n) {
            const double seconds = l.keystroke(word.left(n));
            worst = std::max(worst, seconds);
            total += seconds;
        }
        state.SetIterationTime(total / double(2 * word.size()));
    }
    state.counters["worst_ms"] = worst * 1000;
}
BENCHMARK(BM_TypingAndErasing)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform says so on every layout of the window.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (!text.contains(QLatin1String("propagateSizeHints")))
            qt_message_output(type, context, text);
    });
    QApplication app(argc, argv);
    Appearance::install(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_library.reset();
    return 0;
}
