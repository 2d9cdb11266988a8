#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class ZFCFileHandle;

namespace kit {

// Cuts the plug-in streams into 1 MiB pieces as they are produced, seals each piece under
// its own random IV and writes it behind its length header. Throws file and cipher errors.
class ChunkSealer
{
public:
    // `out` must outlive the sealer.
    explicit ChunkSealer(ZFCFileHandle& out);

    void append(const uint8_t* bytes, std::size_t length);
    // Copies the rest of `in`, at most `limit` bytes, straight into the pieces; returns the
    // bytes copied.
    int64_t copyFrom(ZFCFileHandle& in, int64_t limit);
    // Seals what is left of the plug-in's stream; returns its eSize.
    int64_t endPlugin();

    // Where the stream stands, to go back there when a deflate attempt does not pay off.
    struct Mark
    {
        int64_t written;
        int64_t eSize;
        std::vector<uint8_t> pending;
    };
    Mark mark() const;
    void rollback(const Mark& mark);

private:
    uint8_t* body() const;
    void seal();

    ZFCFileHandle& m_out;
    std::unique_ptr<uint8_t[]> m_chunk;  // [header][IV][piece]
    std::size_t m_fill = 0;
    int64_t m_eSize = 0;
    int64_t m_written = 0;
};

} // namespace kit
