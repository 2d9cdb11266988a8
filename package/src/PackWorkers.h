#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCWorkQueue.h"

namespace kit::packer {

// A file's head deflated fast: when it does not shrink at all, neither would the file.
constexpr std::size_t kSampleBytes = 64 * 1024;

// What a worker made of one file, handed to the writer in scan order.
struct Outcome
{
    enum class How {
        empty,           // not a regular file: stored empty, never read
        memory,          // the job's bytes [offset, offset + length) are the file, stored raw
        compressed,      // those bytes are its raw deflate stream
        copy,            // stored raw, copied by the writer from `file`
        compressInline,  // a large file that samples well: deflated by the writer from `file`
    };
    How how = How::empty;
    int64_t size = 0;  // bytes read (memory, compressed), or the size when opened (copy, compressInline)
    std::size_t offset = 0;
    std::size_t length = 0;
    ZFCFileHandle file;
    std::exception_ptr error;
};

// One worker's task: one file, or a run of small neighbours in scan order sharing one
// buffer, so that threads meet once per run rather than once per file.
struct Job
{
    struct File
    {
        std::filesystem::path path;  // for messages
        int root = -1;         // the item's held folder, and the path below it
        std::string relative;
        bool regular = false;  // as the scan saw it; anything else is never opened
        Outcome outcome;
    };
    std::vector<File> files;
    std::vector<uint8_t> bytes;
};

using Turn = kit::ZFCWorkQueue<Job>::Turn;

class BoundedDeflater;

// The workers' side: reads each file of a job and deflates what pays off, holding the bytes
// in the job within the queue's budget.
class Deflating
{
public:
    Deflating(const ZFCPacker::PackOptions& options, unsigned workers);
    ~Deflating();
    Deflating(const Deflating&) = delete;
    Deflating& operator=(const Deflating&) = delete;

    void run(Job& job, Turn& turn);

private:
    // Per-thread tools, made once and reused for every file.
    struct Tools;

    BoundedDeflater* smallDeflater(int64_t size, Tools& tools) const;
    // False when the queue stopped while the file waited for memory.
    bool process(Turn& turn, Job& job, Job::File& file, Tools& tools);
    // A file up to kCompressWithoutSample, deflated piece by piece into the job's bytes unless
    // its head does not shrink at all. Alone in its job, unless it has grown past
    // kSampleBytes since the scan: its bytes go after those of the files before it.
    bool packMedium(Turn& turn, Job& job, Outcome& outcome, ZFCFileHandle& in, int64_t size, Tools& tools);
    // A small file: read whole with one read of its size and deflated from memory, kept
    // raw when that does not pay off.
    bool packSmall(Turn& turn, Job& job, Outcome& outcome, ZFCFileHandle& in, int64_t size, Tools& tools);

    const ZFCPacker::PackOptions m_options;
    std::vector<std::unique_ptr<Tools>> m_tools;  // one per worker, touched by its thread only
};

} // namespace kit::packer
