// Feeds arbitrary bytes to ZFCPackageReader as a package file: open, list, extract every
// plug-in into a scratch folder. Our own errors are expected; anything else (a crash, a
// sanitizer report, an unexpected exception, a file outside the destination) is a bug.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"

namespace fs = std::filesystem;

namespace {

const fs::path& scratch()
{
    static const fs::path dir = [] {
        std::string pattern = (fs::temp_directory_path() / "zfcp-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        return fs::path(pattern);
    }();
    return dir;
}

struct Cleanup
{
    ~Cleanup()
    {
        std::error_code ec;
        fs::remove_all(scratch(), ec);
    }
} cleanup;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const fs::path input = scratch() / "input.zfcp";
    const fs::path work = scratch() / "work";
    {
        std::ofstream out(input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    fs::create_directories(work / "dest");

    try {
        ZFCPackageReader reader(input);
        for (const ZFCPlugin& plugin : reader.plugins()) {
            if (plugin.position < reader.dataOffset() || plugin.eSize < 0)
                std::abort();
        }
        reader.extractAll(work / "dest");
        if (!reader.plugins().empty())
            reader.extract(reader.plugins().front(), work / "dest", std::string(" renamed "), false);
    } catch (const ZFCPackageError&) {
    } catch (const AES256CTR::CryptoError&) {
    } catch (const fs::filesystem_error&) {
    }

    // Nothing may appear beside the destination.
    for (const auto& entry : fs::directory_iterator(work)) {
        if (entry.path().filename() != "dest")
            std::abort();
    }
    return 0;
}
