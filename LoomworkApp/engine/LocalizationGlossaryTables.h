#pragma once

#include <span>

// The built-in vocabularies as literal UTF-8 pairs: lower-case English keys of one to three
// words, each key once per list.
struct GlossaryPair
{
    const char* english;
    const char* chinese;
};

namespace LocalizationGlossaryTables {

std::span<const GlossaryPair> bundledTerms();
std::span<const GlossaryPair> generalWords();
std::span<const GlossaryPair> generalExtraWords();

} // namespace LocalizationGlossaryTables
