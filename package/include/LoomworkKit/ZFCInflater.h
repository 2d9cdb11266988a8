#pragma once

#include <cstdint>
#include <memory>
#include <span>

class ZFCFileHandle;

// Streams raw deflate back into a file handle (which must outlive it). One inflater serves
// many files in turn: reset() starts the next stream without reallocating.
class ZFCInflater
{
public:
    // Null when zlib refuses to start. A `limit` of 0 or more caps the bytes written: a
    // stream that inflates past the size its entry declares is refused (a hostile package
    // could otherwise fill the disk from a few kilobytes).
    static std::unique_ptr<ZFCInflater> create(ZFCFileHandle& handle, int64_t limit = -1);
    ~ZFCInflater();

    // Feeds compressed bytes. Returns quietly when more input is needed; input after the
    // stream's end is dropped. Throws ZFCPackageError::ioFailure inflateFailed for invalid
    // data, plaintextOverrun past the limit, or the handle's write error.
    void append(std::span<const uint8_t> data);
    // Ends the zlib stream (inited() becomes false).
    void end();
    // A new stream into `handle`, with a new limit; false when zlib cannot start one.
    bool reset(ZFCFileHandle& handle, int64_t limit = -1);
    bool reachedEnd() const;
    bool inited() const;
    int64_t written() const;

private:
    struct State;
    explicit ZFCInflater(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
