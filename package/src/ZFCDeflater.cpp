#include "LoomworkKit/ZFCDeflater.h"

#include <limits>

#include "LoomworkKit/ZFCPackageError.h"
#include "ZlibStream.h"

struct ZFCDeflater::State : kit::ZlibStream
{
    // The zlib state stays allocated between files; `open` says a stream is running.
    bool allocated = false;

    void flushOut()
    {
        if (produced() > 0)
            writeOut(produced());
    }
};

ZFCDeflater::ZFCDeflater(std::unique_ptr<State> state) : m_state(std::move(state)) {}

std::unique_ptr<ZFCDeflater> ZFCDeflater::create(int level, int memLevel, ZFCFileHandle& handle)
{
    return create(level, memLevel, kit::ZlibStream::into(handle));
}

std::unique_ptr<ZFCDeflater> ZFCDeflater::create(int level, int memLevel, Sink sink)
{
    return create(level, memLevel, 15, std::move(sink));
}

std::unique_ptr<ZFCDeflater> ZFCDeflater::create(int level, int memLevel, int windowBits, Sink sink)
{
    auto state = std::make_unique<State>();
    state->sink = std::move(sink);
    if (deflateInit2(&state->strm, level, Z_DEFLATED, -windowBits, memLevel, Z_DEFAULT_STRATEGY) != Z_OK)
        return nullptr;
    state->allocated = true;
    state->inited = true;
    return std::unique_ptr<ZFCDeflater>(new ZFCDeflater(std::move(state)));
}

ZFCDeflater::~ZFCDeflater()
{
    if (m_state->allocated)
        deflateEnd(&m_state->strm);
}

bool ZFCDeflater::reset(Sink sink)
{
    State& s = *m_state;
    if (sink)
        s.sink = std::move(sink);
    s.written = 0;
    s.inited = s.allocated && deflateReset(&s.strm) == Z_OK;
    return s.inited;
}

void ZFCDeflater::append(std::span<const uint8_t> data)
{
    if (data.empty())
        return;
    State& s = *m_state;
    if (!s.inited)
        throw ZFCPackageError::failure(ZFCPackageError::Kind::compressFailed, Z_STREAM_ERROR);
    std::size_t offset = 0;
    while (offset < data.size()) {
        const std::size_t piece = std::min<std::size_t>(data.size() - offset, std::numeric_limits<uInt>::max());
        s.strm.next_in = const_cast<Bytef*>(data.data() + offset);
        s.strm.avail_in = static_cast<uInt>(piece);
        do {
            s.resetOutput();
            const int result = deflate(&s.strm, Z_NO_FLUSH);
            if (result != Z_OK)
                throw ZFCPackageError::failure(ZFCPackageError::Kind::compressFailed, result);
            s.flushOut();
        } while (s.strm.avail_in > 0);
        offset += piece;
    }
}

void ZFCDeflater::finish()
{
    State& s = *m_state;
    if (!s.inited)
        return;
    s.inited = false;
    int result = Z_OK;
    do {
        s.resetOutput();
        result = deflate(&s.strm, Z_FINISH);
        s.flushOut();
    } while (result == Z_OK);
    if (result != Z_STREAM_END)
        throw ZFCPackageError::failure(ZFCPackageError::Kind::compressFinishFailed, result);
}

bool ZFCDeflater::inited() const { return m_state->inited; }
int64_t ZFCDeflater::written() const { return m_state->written; }
