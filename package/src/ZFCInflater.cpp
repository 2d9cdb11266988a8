#include "LoomworkKit/ZFCInflater.h"

#include <limits>

#include "LoomworkKit/ZFCPackageError.h"
#include "ZlibStream.h"

struct ZFCInflater::State : kit::ZlibStream
{
    bool reachedEnd = false;
    bool allocated = false;
    int64_t limit = -1;
};

ZFCInflater::ZFCInflater(std::unique_ptr<State> state) : m_state(std::move(state)) {}

std::unique_ptr<ZFCInflater> ZFCInflater::create(ZFCFileHandle& handle, int64_t limit)
{
    return create(kit::ZlibStream::into(handle), limit);
}

std::unique_ptr<ZFCInflater> ZFCInflater::create(Sink sink, int64_t limit)
{
    auto state = std::make_unique<State>();
    state->sink = std::move(sink);
    state->limit = limit;
    if (inflateInit2(&state->strm, -15) != Z_OK)
        return nullptr;
    state->allocated = true;
    state->inited = true;
    return std::unique_ptr<ZFCInflater>(new ZFCInflater(std::move(state)));
}

ZFCInflater::~ZFCInflater()
{
    if (m_state->allocated)
        inflateEnd(&m_state->strm);
}

void ZFCInflater::end() { m_state->inited = false; }

bool ZFCInflater::reset(ZFCFileHandle& handle, int64_t limit)
{
    return reset(kit::ZlibStream::into(handle), limit);
}

bool ZFCInflater::reset(Sink sink, int64_t limit)
{
    State& s = *m_state;
    s.sink = std::move(sink);
    s.limit = limit;
    s.written = 0;
    s.reachedEnd = false;
    s.inited = s.allocated && inflateReset(&s.strm) == Z_OK;
    return s.inited;
}

void ZFCInflater::append(std::span<const uint8_t> data)
{
    State& s = *m_state;
    if (data.empty() || !s.inited || s.reachedEnd)
        return;
    std::size_t offset = 0;
    while (offset < data.size()) {
        const std::size_t piece = std::min<std::size_t>(data.size() - offset, std::numeric_limits<uInt>::max());
        s.strm.next_in = const_cast<Bytef*>(data.data() + offset);
        s.strm.avail_in = static_cast<uInt>(piece);
        offset += piece;
        for (;;) {
            s.resetOutput();
            const int result = inflate(&s.strm, Z_NO_FLUSH);
            const std::size_t produced = s.produced();
            if (produced > 0) {
                if (s.limit >= 0 && static_cast<int64_t>(produced) > s.limit - s.written)
                    throw ZFCPackageError::failure(ZFCPackageError::Kind::plaintextOverrun);
                s.writeOut(produced);
            }
            if (result == Z_STREAM_END) {
                // Whatever follows the stream's end in this call is dropped.
                s.reachedEnd = true;
                return;
            }
            if (result == Z_BUF_ERROR && produced == 0)
                break;  // needs more input
            if (result != Z_OK && result != Z_BUF_ERROR)
                throw ZFCPackageError::failure(ZFCPackageError::Kind::inflateFailed, result);
            if (s.strm.avail_in == 0 && s.strm.avail_out != 0)
                break;
        }
    }
}

bool ZFCInflater::reachedEnd() const { return m_state->reachedEnd; }
bool ZFCInflater::complete() const { return m_state->reachedEnd && (m_state->limit < 0 || m_state->written == m_state->limit); }
bool ZFCInflater::inited() const { return m_state->inited; }
int64_t ZFCInflater::written() const { return m_state->written; }
