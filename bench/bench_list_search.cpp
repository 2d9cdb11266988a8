// The plug-in list's search at LOOMWORK_BENCH_PLUGINS plug-ins (default 50,000), timed as
// the user meets it: the store filters, the list model and the shown list view follow, then
// the event loop runs what the keystroke posted (the layout, and the repaint of the window
// where it changed). A frame at 60 per second has 16.7 ms.
//   - BM_WorstKeystroke: the key that brings every row back (a narrow search cleared);
//   - BM_TypingAndErasing: a word typed and erased a key at a time, with the worst key;
//   - BM_KeysDuringRescan: a rescan (one plug-in more each time, as after an install) while
//     a word is typed and erased at a key every 25 ms, on until a whole word has been typed
//     after the result landed. A key's time runs from when it was due, so a key that waits
//     behind other work on the GUI thread counts that wait. Reports the worst key due before
//     the result landed, the first and the worst key after it, and the longest stall of the
//     GUI thread (the widest gap between the ticks of a 1 ms timer).
// The plug-ins are empty folders in a temporary library (on /dev/shm when there is one);
// HOME, XDG_* and LOOMWORK_SYSTEM_LIBRARY point there, so no real library is read.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMainWindow>
#include <QTimer>

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
    fs::path userLibrary;
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
        userLibrary = dir / "home/Movies/Motion Templates.localized";
        const fs::path roots[] = {userLibrary, dir / "system"};
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

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

struct RescanKeys
{
    double worstDuring = 0;  // keys due before the result landed
    double firstAfter = 0;
    double worstAfter = 0;
    double longestStall = 0;
};

// One rescan with keys typed through it, as the user meets it: the event loop runs, keys
// are due at a fixed pace whatever the GUI thread is doing, and the result lands when the
// worker hands it over.
RescanKeys rescanWhileTyping(Library& l, int round)
{
    constexpr auto kKeyInterval = std::chrono::milliseconds(25);
    // A plug-in more each time: the new list differs from the shown one.
    fs::create_directories(l.userLibrary / kCategories[0] / ("Added " + std::to_string(round)));
    const QString word = QStringLiteral("light 1");
    QStringList texts;
    for (qsizetype n = 1; n <= word.size(); ++n)
        texts.append(word.left(n));
    for (qsizetype n = word.size() - 1; n >= 0; --n)
        texts.append(word.left(n));

    RescanKeys run;
    QEventLoop loop;
    std::optional<Clock::time_point> landed;
    const auto finished = QObject::connect(l.state.get(), &AppState::scanFinished, &loop,
                                           [&] { landed = Clock::now(); });

    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    Clock::time_point lastTick = Clock::now();
    QObject::connect(&probe, &QTimer::timeout, &loop, [&] {
        const auto now = Clock::now();
        run.longestStall = std::max(run.longestStall, secondsBetween(lastTick, now));
        lastTick = now;
    });

    QTimer keys;
    keys.setSingleShot(true);
    keys.setTimerType(Qt::PreciseTimer);
    Clock::time_point due = Clock::now();
    int typed = 0;
    int typedAfter = 0;
    QObject::connect(&keys, &QTimer::timeout, &loop, [&] {
        const bool before = !landed || due < *landed;
        l.state->setSearchText(texts[typed++ % texts.size()]);
        QCoreApplication::processEvents();
        const double seconds = secondsBetween(due, Clock::now());
        if (before) {
            run.worstDuring = std::max(run.worstDuring, seconds);
        } else {
            if (typedAfter == 0)
                run.firstAfter = seconds;
            run.worstAfter = std::max(run.worstAfter, seconds);
            if (++typedAfter == texts.size()) {
                loop.quit();
                return;
            }
        }
        // The next key is due a fixed time after this one was, however late this one ran.
        due += kKeyInterval;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
        keys.start(int(std::max<qint64>(0, wait.count())));
    });

    l.state->refresh();
    lastTick = Clock::now();
    due = lastTick;
    probe.start();
    keys.start(0);
    loop.exec();
    QObject::disconnect(finished);
    l.state->setSearchText(QString());
    QCoreApplication::processEvents();
    return run;
}

void BM_KeysDuringRescan(benchmark::State& state)
{
    Library& l = library();
    RescanKeys worst;
    int round = 0;
    for (auto _ : state) {
        const RescanKeys run = rescanWhileTyping(l, round++);
        worst.worstDuring = std::max(worst.worstDuring, run.worstDuring);
        worst.firstAfter = std::max(worst.firstAfter, run.firstAfter);
        worst.worstAfter = std::max(worst.worstAfter, run.worstAfter);
        worst.longestStall = std::max(worst.longestStall, run.longestStall);
        state.SetIterationTime(std::max(run.worstDuring, run.worstAfter));
    }
    // The highest of every round.
    state.counters["during_ms"] = worst.worstDuring * 1000;
    state.counters["first_after_ms"] = worst.firstAfter * 1000;
    state.counters["after_ms"] = worst.worstAfter * 1000;
    state.counters["stall_ms"] = worst.longestStall * 1000;
    state.counters["rows"] = double(l.state->plugins().size());
}
BENCHMARK(BM_KeysDuringRescan)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);

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
