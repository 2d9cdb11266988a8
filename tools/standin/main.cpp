// loomwork-standin: answers the maker's service on 127.0.0.1 until SIGINT or SIGTERM.
//   --port N                 0 (the default) picks a free port
//   --auto-scan-after SECS   a QR login confirms itself after SECS seconds
//   --session-seconds SECS   how long a session lasts (default three days)
//   --catalog DIR            the market's packages are made in DIR (kept); any other
//                            *.zfcp already there joins the shop as a free plug-in
//   --state FILE             keeps sessions, members and their purchases in FILE across runs
// Prints its base address ("http://127.0.0.1:PORT/") as the first line on stdout.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <pthread.h>

#include "StandinServer.h"

namespace {

int usage()
{
    std::cerr << "usage: loomwork-standin [--port N] [--auto-scan-after SECONDS] "
                 "[--session-seconds SECONDS] [--catalog DIR] [--state FILE]\n";
    return 2;
}

bool number(const char* text, double& out)
{
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end && *end == '\0' && end != text;
}

} // namespace

int main(int argc, char** argv)
{
    standin::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--catalog" && i + 1 < argc) {
            options.catalogDir = argv[++i];
            continue;
        }
        double value = 0;
        if (arg == "--state" && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.stateFile = argv[++i];
            continue;
        }
        if (i + 1 >= argc || !number(argv[i + 1], value))
            return usage();
        ++i;
        if (arg == "--port" && value >= 0 && value <= 65535 && value == int(value))
            options.port = int(value);
        else if (arg == "--auto-scan-after" && value >= 0)
            options.autoScanAfterSeconds = value;
        else if (arg == "--session-seconds" && value > 0)
            options.sessionSeconds = value;
        else
            return usage();
    }

    // The worker threads inherit the mask; only this thread takes the signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto server = standin::makeServer(options);
    if (!server->start()) {
        std::cerr << "loomwork-standin: cannot listen on 127.0.0.1:" << options.port << "\n";
        return 1;
    }
    std::cout << server->baseUrl() << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    // Workers may sit in keep-alive reads for seconds: only the temporary files are cleared
    // before leaving.
    server->shutDown();
    std::fflush(stdout);
    std::_Exit(0);
}
