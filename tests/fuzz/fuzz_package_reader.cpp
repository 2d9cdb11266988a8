// Feeds arbitrary bytes to ZFCPackageReader as a sealed package file: open, list, extract
// every plug-in once. Our own errors are expected; anything else (a crash, a sanitizer
// report, an unexpected exception, a file outside the destination) is a bug.

#include <cstdint>
#include <string_view>

#include "ExtractOnce.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ExtractOnce runner;
    runner.run(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
