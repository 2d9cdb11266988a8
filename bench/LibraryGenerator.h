#pragma once

#include <cstdint>
#include <filesystem>

// Writes a template library that looks like a real one: four category folders of plug-ins,
// each with a Motion template (XML-like text, 50 KB to 5 MB), already-compressed media
// (random bytes, 100 KB to 50 MB, log-uniform), nested thumbnail folders and relative links.
// Deterministic for a given seed.
struct LibraryStats
{
    int plugins = 0;
    int files = 0;
    int links = 0;
    uint64_t bytes = 0;
};

// Stops adding plug-ins once `targetBytes` of file content are written.
LibraryStats generateLibrary(const std::filesystem::path& root, uint64_t targetBytes, uint64_t seed);
// A library of many small files: `files` files of 1 to 4 KB (mostly template text, some
// random thumbnails), 50 to a plug-in, in the same four category folders.
LibraryStats generateSmallFileLibrary(const std::filesystem::path& root, int files, uint64_t seed);
