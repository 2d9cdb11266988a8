#pragma once

// The state the deflater and the inflater share: a raw zlib stream whose output goes
// through a 256 KiB buffer into a sink (a file handle or memory).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include <zlib.h>

#include "LoomworkKit/ZFCFileHandle.h"

namespace kit {

struct ZlibStream
{
    static constexpr std::size_t kOutputBuffer = 256 * 1024;
    using Sink = std::function<void(const uint8_t*, std::size_t)>;

    z_stream strm{};
    Sink sink;
    // Not zero-filled: zlib writes before anything reads.
    std::unique_ptr<uint8_t[]> buf{new uint8_t[kOutputBuffer]};
    bool inited = false;
    int64_t written = 0;

    static Sink into(ZFCFileHandle& handle)
    {
        return [&handle](const uint8_t* bytes, std::size_t count) { handle.write(bytes, count); };
    }
    // Points the stream's output at the whole buffer, before each zlib call.
    void resetOutput()
    {
        strm.next_out = buf.get();
        strm.avail_out = static_cast<uInt>(kOutputBuffer);
    }
    // What the last zlib call put in the buffer.
    std::size_t produced() const { return kOutputBuffer - strm.avail_out; }
    // Hands the first `count` bytes of the buffer to the sink.
    void writeOut(std::size_t count)
    {
        sink(buf.get(), count);
        written += static_cast<int64_t>(count);
    }
};

} // namespace kit
