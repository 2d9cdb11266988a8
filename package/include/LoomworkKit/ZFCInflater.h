#pragma once

#include <cstdint>
#include <memory>
#include <span>

class ZFCFileHandle;

// Streams one raw deflate stream back into a file handle (which must outlive it).
class ZFCInflater
{
public:
    // Null when zlib refuses to start.
    static std::unique_ptr<ZFCInflater> create(ZFCFileHandle& handle);
    ~ZFCInflater();

    // Feeds compressed bytes. Returns quietly when more input is needed; input after the
    // stream's end is dropped. Throws ZFCPackageError::ioFailure "解压失败（zlib n）" for
    // invalid data, or the handle's write error.
    void append(std::span<const uint8_t> data);
    // Ends the zlib stream (inited() becomes false).
    void end();
    bool reachedEnd() const;
    bool inited() const;
    int64_t written() const;

private:
    struct State;
    explicit ZFCInflater(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
