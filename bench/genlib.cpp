// loomwork-genlib ROOT SIZE_MB [SEED]: writes a realistic template library under ROOT.
// loomwork-genlib --small-files COUNT ROOT [SEED]: COUNT files of 1 to 4 KB instead.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "LibraryGenerator.h"

int main(int argc, char** argv)
{
    const bool small = argc > 1 && std::string(argv[1]) == "--small-files";
    const int first = small ? 2 : 1;
    if (argc < first + 2) {
        std::fprintf(stderr, "usage: loomwork-genlib ROOT SIZE_MB [SEED]\n"
                             "       loomwork-genlib --small-files COUNT ROOT [SEED]\n");
        return 2;
    }
    const uint64_t seed = argc > first + 2 ? std::strtoull(argv[first + 2], nullptr, 10) : 1;
    try {
        const LibraryStats s = small ? generateSmallFileLibrary(argv[first + 1], std::atoi(argv[first]), seed)
                                     : generateLibrary(argv[first], std::strtoull(argv[first + 1], nullptr, 10) * 1024 * 1024, seed);
        std::printf("%d plug-ins, %d files, %d links, %.1f MiB\n", s.plugins, s.files, s.links,
                    static_cast<double>(s.bytes) / (1024.0 * 1024.0));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
