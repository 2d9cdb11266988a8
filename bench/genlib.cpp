// loomwork-genlib ROOT SIZE_MB [SEED]: writes a realistic template library under ROOT.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "LibraryGenerator.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: loomwork-genlib ROOT SIZE_MB [SEED]\n");
        return 2;
    }
    const uint64_t megabytes = std::strtoull(argv[2], nullptr, 10);
    const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    try {
        const LibraryStats s = generateLibrary(argv[1], megabytes * 1024 * 1024, seed);
        std::printf("%d plug-ins, %d files, %d links, %.1f MiB\n", s.plugins, s.files, s.links,
                    static_cast<double>(s.bytes) / (1024.0 * 1024.0));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
