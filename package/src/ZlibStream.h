#pragma once

// The state the deflater and the inflater share: a raw zlib stream whose output goes
// through a 256 KiB buffer into a file handle.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "LoomworkKit/ZFCFileHandle.h"

namespace kit {

struct ZlibStream
{
    static constexpr std::size_t kOutputBuffer = 256 * 1024;

    z_stream strm{};
    ZFCFileHandle* handle = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(kOutputBuffer);
    bool inited = false;
    int64_t written = 0;

    // Points the stream's output at the whole buffer, before each zlib call.
    void resetOutput()
    {
        strm.next_out = buf.data();
        strm.avail_out = static_cast<uInt>(buf.size());
    }
    // What the last zlib call put in the buffer.
    std::size_t produced() const { return buf.size() - strm.avail_out; }
    // Writes the first `count` bytes of the buffer to the handle.
    void writeOut(std::size_t count)
    {
        handle->write(buf.data(), count);
        written += static_cast<int64_t>(count);
    }
};

} // namespace kit
