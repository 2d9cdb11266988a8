#include "ChunkSealer.h"

#include <algorithm>
#include <cstring>

#include "KitInternal.h"
#include "LoomworkKit/ZFCFileHandle.h"

namespace kit {

ChunkSealer::ChunkSealer(ZFCFileHandle& out) : m_out(out), m_chunk(new uint8_t[kHeaderSize + kIvSize + kPieceSize]) {}

void ChunkSealer::append(const uint8_t* bytes, std::size_t length)
{
    while (length > 0) {
        const std::size_t take = std::min(length, kPieceSize - m_fill);
        std::memcpy(body() + m_fill, bytes, take);
        m_fill += take;
        bytes += take;
        length -= take;
        if (m_fill == kPieceSize)
            seal();
    }
}

int64_t ChunkSealer::copyFrom(ZFCFileHandle& in, int64_t limit)
{
    int64_t copied = 0;
    while (copied < limit) {
        const std::size_t n = in.read(body() + m_fill, static_cast<std::size_t>(std::min<int64_t>(kPieceSize - m_fill, limit - copied)));
        if (n == 0)
            return copied;
        m_fill += n;
        copied += static_cast<int64_t>(n);
        if (m_fill == kPieceSize)
            seal();
    }
    return copied;
}

int64_t ChunkSealer::endPlugin()
{
    if (m_fill > 0)
        seal();
    const int64_t eSize = m_eSize;
    m_eSize = 0;
    return eSize;
}

ChunkSealer::Mark ChunkSealer::mark() const { return {m_written, m_eSize, std::vector<uint8_t>(body(), body() + m_fill)}; }

void ChunkSealer::rollback(const Mark& mark)
{
    if (m_written != mark.written) {
        m_out.truncate(mark.written);
        m_out.seek(mark.written);
    }
    m_written = mark.written;
    m_eSize = mark.eSize;
    m_fill = mark.pending.size();
    std::copy(mark.pending.begin(), mark.pending.end(), body());
}

uint8_t* ChunkSealer::body() const { return m_chunk.get() + kHeaderSize + kIvSize; }

void ChunkSealer::seal()
{
    uint8_t* const iv = m_chunk.get() + kHeaderSize;
    randomBytes(iv, kIvSize);
    cryptInPlace(body(), m_fill, iv);
    const int64_t sealedLength = static_cast<int64_t>(kIvSize + m_fill);
    putLengthHeader(m_chunk.get(), sealedLength);
    m_out.write(m_chunk.get(), kHeaderSize + static_cast<std::size_t>(sealedLength));
    m_eSize += static_cast<int64_t>(kHeaderSize) + sealedLength;
    m_written += static_cast<int64_t>(kHeaderSize) + sealedLength;
    m_fill = 0;
}

} // namespace kit
