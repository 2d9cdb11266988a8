// Drives the application's file work for filework.sh, printing the seconds spent inside.
//
//   bench_filework copy SOURCE DESTINATION   FileOps::copyTree (DESTINATION must not exist)
//   bench_filework plugin FOLDER TEMPLATES   writes a plug-in folder of TEMPLATES templates
//   bench_filework rewrite FOLDER OZML       TemplateInspector::setVersion on the plug-in
//   bench_filework translate FOLDER ROUND    TemplateInspector::applyTranslations on the plug-in:
//                                            its published names to English in odd rounds, back
//                                            in even ones, so that every template changes
//   bench_filework install PACKAGE ROUND     installs every plug-in of PACKAGE into the user
//                                            library as the app does (staged, synced, swapped
//                                            in, the library synced); ROUND is only printed,
//                                            then the journal's writes and their bytes
//
// A change's old contents go after its call returns; the process waits for them before it
// ends, outside the time printed (as the user waits for the call only).
// The library roots (HOME, LOOMWORK_SYSTEM_LIBRARY, XDG_DATA_HOME) are whatever the caller
// sets; filework.sh points them into its work folder.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/files/FileOps.h"
#include "engine/files/JournalChange.h"
#include <SafeFS/Journal.h>
#include "engine/model/InstallPlan.h"
#include "engine/operations/Installation.h"
#include "engine/core/FsPath.h"
#include "engine/templates/TemplateInspector.h"

#include <QHash>

namespace fs = std::filesystem;

namespace {

// A template of about `bytes`: the head the scanner reads, then layers.
std::string templateText(std::mt19937& rng, std::size_t bytes)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE ozxmlscene>\n<ozml version=\"5.";
    out += std::to_string(8 + rng() % 6) + "\">\n\n<displayversion>5.4</displayversion>\n\n";
    out += "<description>插件模板</description>\n<scene>\n\t<publishSettings>\n";
    for (int i = 0; i < 6; ++i)
        out += "\t\t<target object=\"1001" + std::to_string(i) + "\" channel=\"./1/100\" name=\"参数 "
            + std::to_string(i) + "\"/>\n";
    out += "\t</publishSettings>\n";
    while (out.size() < bytes)
        out += "\t<layer name=\"Group\" id=\"10011\"><parameter name=\"Opacity\" id=\"117\" value=\"1\"/></layer>\n";
    out += "</scene>\n</ozml>\n";
    return out;
}

int writePlugin(const fs::path& folder, int templates)
{
    std::mt19937 rng(20261207);
    for (int t = 0; t < templates; ++t) {
        // Forty templates to a folder, as a large title pack sorts them.
        const fs::path sub = folder / ("Group " + std::to_string(t / 40));
        fs::create_directories(sub);
        std::ofstream out(sub / ("Title " + std::to_string(t) + ".motn"), std::ios::binary);
        const std::string text = templateText(rng, 16384 + rng() % 65536);
        out.write(text.data(), std::streamsize(text.size()));
        if (!out)
            return 1;
    }
    return 0;
}

template<typename Work>
double seconds(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: %s copy SOURCE DESTINATION | plugin FOLDER TEMPLATES | rewrite FOLDER OZML"
                     " | translate FOLDER ROUND | install PACKAGE ROUND\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const QString first = FsPath::fromBytes(argv[2]);
    if (mode == "plugin")
        return writePlugin(argv[2], std::atoi(argv[3]));
    if (mode == "copy") {
        int error = 0;
        const double s = seconds([&] { error = FileOps::current().copyTree(first, FsPath::fromBytes(argv[3])); });
        if (error) {
            std::fprintf(stderr, "copyTree: %s\n", std::strerror(error));
            return 1;
        }
        std::printf("%.6f\n", s);
        return 0;
    }
    if (mode == "rewrite") {
        try {
            TemplateInspector::EditSummary summary;
            const double s = seconds(
                [&] { summary = TemplateInspector::setVersion(first, QString::fromLatin1(argv[3]), QString()); });
            std::printf("%.6f %d\n", s, summary.filesChanged);
            return 0;
        } catch (const TemplateEditError& e) {
            std::fprintf(stderr, "setVersion: %s\n", e.what());
            return 1;
        }
    }
    if (mode == "translate") {
        QHash<QString, QString> map;
        const bool forth = std::atoi(argv[3]) % 2 == 1;
        for (int i = 0; i < 6; ++i) {
            const QString chinese = QStringLiteral("参数 %1").arg(i);
            const QString english = QStringLiteral("Param %1").arg(i);
            map.insert(forth ? chinese : english, forth ? english : chinese);
        }
        try {
            TemplateInspector::EditSummary summary;
            const double s = seconds([&] { summary = TemplateInspector::applyTranslations(first, map); });
            std::printf("%.6f %d\n", s, summary.filesChanged);
            return 0;
        } catch (const TemplateEditError& e) {
            std::fprintf(stderr, "applyTranslations: %s\n", e.what());
            return 1;
        }
    }
    if (mode == "install") {
        // What the journal is given: each entry written, as written (a counter, no timing).
        long writes = 0;
        std::size_t journalBytes = 0;
        (void)JournalChange::setWriteHookForTests([&](const SafeFS::JournalEntry& entry) {
            ++writes;
            journalBytes += SafeFS::formatEntry(entry).size();
        });
        Installation::Outcome outcome;
        const double s = seconds([&] {
            try {
                const QStringList files{first};
                const InstallPlan plan;
                auto readers = Installation::openPackages(files);
                outcome = Installation(files, plan, {}, {}).run(readers);
            } catch (...) {
                outcome.ok = false;
            }
        });
        if (!outcome.ok) {
            std::fprintf(stderr, "install: %s\n", outcome.text.toLocal8Bit().constData());
            return 1;
        }
        std::printf("%.6f %s %ld %zu\n", s, argv[3], writes, journalBytes);
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
