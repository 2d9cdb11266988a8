// Mutations of the plaintext metadata and stream, sealed before they are read, so that they
// reach the metadata parser, the path rules and the chunk and file cutting behind the
// cipher (see PlainPackage.h for the input's layout).

#include <cstdint>
#include <string_view>

#include "ExtractOnce.h"
#include "PlainPackage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ExtractOnce runner;
    runner.run(fuzz::plainToPackage(std::string_view(reinterpret_cast<const char*>(data), size)));
    return 0;
}
