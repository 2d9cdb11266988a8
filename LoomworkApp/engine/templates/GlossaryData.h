#pragma once

#include <string_view>

// The built-in word lists of resources/glossary, compiled in by the build.
namespace GlossaryData {

// The text of the list file `name` ("terms.tsv"); empty when there is none.
std::string_view file(std::string_view name);

} // namespace GlossaryData
