#pragma once

#include <cstdint>
#include <memory>
#include <span>

class ZFCFileHandle;

// Streams one file through raw deflate into a file handle (which must outlive it).
class ZFCDeflater
{
public:
    // Null when zlib refuses the parameters.
    static std::unique_ptr<ZFCDeflater> create(int level, int memLevel, ZFCFileHandle& handle);
    ~ZFCDeflater();

    // Throws ZFCPackageError::ioFailure "压缩失败（zlib n）" or the handle's write error.
    void append(std::span<const uint8_t> data);
    // Flushes the stream end. Throws "压缩收尾失败（zlib n）" or a write error. The zlib
    // stream is ended in every case.
    void finish();
    bool inited() const;
    int64_t written() const;

private:
    struct State;
    explicit ZFCDeflater(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
