#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

class ZFCFileHandle;

// Streams raw deflate into a file handle (which must outlive it) or any byte sink. One
// deflater serves many files in turn: reset() starts the next stream without reallocating.
class ZFCDeflater
{
public:
    using Sink = std::function<void(const uint8_t*, std::size_t)>;

    // Null when zlib refuses the parameters.
    static std::unique_ptr<ZFCDeflater> create(int level, int memLevel, ZFCFileHandle& handle);
    static std::unique_ptr<ZFCDeflater> create(int level, int memLevel, Sink sink);
    // With a window of 2^windowBits bytes (9 to 15): a small window and memLevel make each
    // reset() cheap for small files; the stream stays one any raw inflater reads.
    static std::unique_ptr<ZFCDeflater> create(int level, int memLevel, int windowBits, Sink sink);
    ~ZFCDeflater();

    // Throws ZFCPackageError compressFailed "压缩失败（zlib n）" or the sink's error.
    void append(std::span<const uint8_t> data);
    // Flushes the stream end. Throws compressFinishFailed "压缩收尾失败（zlib n）" or the
    // sink's error. The stream is finished in every case; reset() starts another.
    void finish();
    // A new stream into `sink` (or the same sink when empty), `written` back to 0. False
    // when zlib cannot start one.
    [[nodiscard]] bool reset(Sink sink = {});
    bool inited() const;
    int64_t written() const;

private:
    struct State;
    explicit ZFCDeflater(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
