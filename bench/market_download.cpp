// Downloads one market file through MarketInstallFlow and installs it, then prints one line:
//   seconds=… bytes=… progress_updates=… updates_per_second=… rss_growth_kib=… result=…
// Usage: bench_market_download URL FILE_NAME. Run it with HOME and LOOMWORK_SYSTEM_LIBRARY
// pointing at scratch folders (market_download.sh does).
#include <cstdio>
#include <fstream>
#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include "online/MarketInstallFlow.h"

namespace {

long statusKiB(const char* key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(std::string(key).size()));
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_market_download URL FILE_NAME\n");
        return 2;
    }
    MarketInstallFlow flow;
    flow.setPauses(0, 0);
    int updates = 0;
    qint64 bytes = 0;
    QObject::connect(&flow, &MarketInstallFlow::stageChanged, &flow, [&](const MarketInstallStage& stage) {
        ++updates;
        if (stage.kind == MarketInstallStage::Kind::downloading)
            bytes = stage.received;
        if (stage.kind == MarketInstallStage::Kind::done || stage.kind == MarketInstallStage::Kind::failed) {
            std::printf("result=%s\n", stage.message.toUtf8().constData());
            app.quit();
        }
    });
    const long rssBefore = statusKiB("VmRSS:");
    QElapsedTimer elapsed;
    elapsed.start();
    flow.start(QStringLiteral("bench"), QStringLiteral("bench"), QString::fromLocal8Bit(argv[1]),
               QString::fromLocal8Bit(argv[2]), 0);
    app.exec();
    const double seconds = double(elapsed.nsecsElapsed()) / 1e9;
    std::printf("seconds=%.3f bytes=%lld progress_updates=%d updates_per_second=%.1f rss_growth_kib=%ld\n", seconds,
                static_cast<long long>(bytes), updates, updates / seconds, statusKiB("VmHWM:") - rssBefore);
    return 0;
}
