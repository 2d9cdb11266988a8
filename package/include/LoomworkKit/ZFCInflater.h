#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

class ZFCFileHandle;

// Streams raw deflate back into a file handle (which must outlive it) or any byte sink. One
// inflater serves many files in turn: reset() starts the next stream without reallocating.
class ZFCInflater
{
public:
    using Sink = std::function<void(const uint8_t*, std::size_t)>;

    // Null when zlib refuses to start. A `limit` of 0 or more caps the bytes written: a
    // stream that inflates past the size its entry declares is refused (a hostile package
    // could otherwise fill the disk from a few kilobytes).
    static std::unique_ptr<ZFCInflater> create(ZFCFileHandle& handle, int64_t limit = -1);
    static std::unique_ptr<ZFCInflater> create(Sink sink, int64_t limit);
    ~ZFCInflater();

    // Feeds compressed bytes. Returns quietly when more input is needed; input after the
    // stream's end is dropped. Throws ZFCPackageError::ioFailure inflateFailed for invalid
    // data, plaintextOverrun past the limit, or the handle's write error.
    void append(std::span<const uint8_t> data);
    // Ends the zlib stream (inited() becomes false).
    void end();
    // A new stream into `handle`, with a new limit; false when zlib cannot start one.
    [[nodiscard]] bool reset(ZFCFileHandle& handle, int64_t limit = -1);
    [[nodiscard]] bool reset(Sink sink, int64_t limit);
    bool reachedEnd() const;
    // The stream ended having written exactly its limit (any length when it has none): a
    // shorter file is as damaged as a cut stream.
    bool complete() const;
    bool inited() const;
    int64_t written() const;

private:
    struct State;
    explicit ZFCInflater(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
