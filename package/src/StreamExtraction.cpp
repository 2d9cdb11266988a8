#include "StreamExtraction.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include <sys/stat.h>

#include "DestinationTree.h"
#include "KitInternal.h"
#include "LoomworkKit/ZFCInflater.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCWorkQueue.h"

namespace fs = std::filesystem;

namespace kit {

namespace {

using ErrorKind = ZFCPackageError::Kind;

// Chunks between the writer and the last one handed to the workers: room for the others to
// go on while one worker, or the writer, waits for a core. A worker makes the files whose
// stored bytes lie whole in its chunk once their plug-in's folder stands; else it inflates
// them ahead of the writer: a file of at most kAheadFileLimit bytes. The writer makes the
// rest, from the chunks the workers keep for it: at most kKeptChunks at once. Inflated files
// kept stay within kAheadBudget bytes.
constexpr std::size_t kWindow = 64;
constexpr std::size_t kKeptChunks = 8;
constexpr int64_t kAheadFileLimit = 4 * 1024 * 1024;
constexpr int64_t kAheadBudget = 16 * 1024 * 1024;
// Empty files past the stream's end from which they are made on several threads.
constexpr std::size_t kManyEmptyFiles = 4096;

// Where damaged data was found: the file and its plug-in.
std::string whereabouts(const ZFCPlugin& plugin, const ZFCEntry& entry)
{
    return "插件「" + ZFCPackageError::quotedName(plugin.name) + "」的文件「" + ZFCPackageError::quotedName(entry.path) + "」";
}

// The damaged-data error of one file, naming its plug-in and its path.
ZFCPackageError damaged(ErrorKind kind, const ZFCPlugin& plugin, const ZFCEntry& entry)
{
    return ZFCPackageError::failure(kind, whereabouts(plugin, entry));
}

// False when the plug-in's stream does not fit in a file offset.
bool streamRange(const ZFCPlugin& plugin, int64_t& end)
{
    return plugin.position >= 0 && plugin.eSize >= 0 && !__builtin_add_overflow(plugin.position, plugin.eSize, &end);
}

// A plug-in's files in the order their bytes follow each other in its stream.
using Files = std::vector<const ZFCEntry*>;

// A raw file's stored bytes are the file: the writer always stores as many as its size.
// One that says otherwise (a "cm" damaged into another word, say) is refused before
// anything of its plug-in is written.
void checkRawSizes(const ZFCPlugin& plugin, const Files& files)
{
    for (const ZFCEntry* entry : files) {
        if (entry->isCompressed() || !entry->size || *entry->size == entry->storedSize())
            continue;
        throw damaged(*entry->size > entry->storedSize() ? ErrorKind::streamTruncated : ErrorKind::plaintextOverrun, plugin,
                      *entry);
    }
}

// Where a walk through the files stands: the file that takes the next byte of the stream,
// and how many of its bytes came before.
struct FileCursor
{
    std::size_t next = 0;
    int64_t taken = 0;
};

// A file's bytes [at, at + length) in one chunk's plaintext.
struct Piece
{
    std::size_t file = 0;
    std::size_t at = 0;
    std::size_t length = 0;
    bool opens = false;   // its first bytes (or it has none)
    bool closes = false;  // its last bytes
};

// Walks `size` bytes of plaintext through the files from `cursor`, handing `visit` each
// file's piece in stream order, empty files as they are met. False when bytes are left
// after the last file. Every thread that needs the cut walks it itself: nothing per file
// is kept between them.
template <class Visit>
bool walk(const Files& files, FileCursor& cursor, std::size_t size, Visit&& visit)
{
    std::size_t at = 0;
    while (at < size) {
        if (cursor.next >= files.size())
            return false;
        const int64_t rest = files[cursor.next]->storedSize() - cursor.taken;
        const auto length = static_cast<std::size_t>(std::clamp<int64_t>(rest, 0, static_cast<int64_t>(size - at)));
        const bool closes = static_cast<int64_t>(length) >= rest;
        visit(Piece{.file = cursor.next, .at = at, .length = length, .opens = cursor.taken == 0, .closes = closes});
        at += length;
        if (closes)
            cursor = {.next = cursor.next + 1};
        else
            cursor.taken += static_cast<int64_t>(length);
    }
    return true;
}

// A file a worker inflated ahead of the writer into its slot's output.
struct AheadFile
{
    std::size_t file = 0;  // among the target's files
    const uint8_t* stored = nullptr;
    std::size_t length = 0;
    int64_t size = 0;
    std::size_t offset = 0;  // of its bytes in the output
    std::size_t produced = 0;
    bool started = false;
    bool ended = false;
    std::exception_ptr error{};
};

// A file a worker made whole, or the error it met making it.
struct MadeFile
{
    std::size_t file = 0;  // among the target's files
    std::exception_ptr error{};
};

// One chunk of a target's stream, or the error that ends the stream there. A worker reads
// and decrypts the chunk, then makes the files that lie whole in it when their folder stands
// (`tree`), else inflates its small files within the budget.
struct Slot
{
    std::size_t target = 0;
    const DestinationTree* tree = nullptr;  // the target's folder, begun
    int64_t offset = 0;        // of the sealed chunk in the package
    std::size_t length = 0;    // sealed; 0 with `error`
    FileCursor cursor;         // where its plaintext starts among the target's files
    std::exception_ptr error;  // the writer throws it before the chunk's files
    bool keeps = false;        // the writer needs its bytes: the worker keeps them in `chunk`
    std::unique_ptr<uint8_t[]> chunk;  // [IV][plaintext] when the writer needs it
    std::vector<AheadFile> ahead;
    std::vector<uint8_t> output;
    std::vector<MadeFile> made;
};

using Turn = ZFCWorkQueue<Slot>::Turn;

// Extracts on the calling thread, which also cuts the chunk streams into slots from their
// length headers, ahead of itself as far as the queue's window; workers do the rest. Errors
// are met where a sequential reader meets them.
class Extraction
{
public:
    // `unreached` receives, when run() fails, the folders begun ahead of the writer for
    // plug-ins it never reached: made from nothing, they are the caller's to remove once the
    // workers are gone.
    Extraction(ZFCFileHandle& file, const std::vector<ExtractTarget>& targets, const ZFCProgressCallback& progress,
               unsigned workers, std::vector<fs::path>& unreached, std::size_t& failedAt)
        : m_file(file), m_targets(targets), m_progress(progress), m_files(targets.size()), m_trees(targets.size()),
          m_unreached(unreached), m_failedAt(failedAt), m_inflaters(workers), m_chunks(workers), m_branches(workers),
          m_queue(workers, kWindow, [this](Slot& slot, Turn& turn) { prepare(slot, turn); }, kAheadBudget)
    {
        m_spare.reserve(kWindow);
    }

    void run()
    {
        std::size_t t = 0;
        try {
            for (; t < m_targets.size(); ++t) {
                if (!extractTarget(t))
                    return;
            }
        } catch (...) {
            m_failedAt = t;
            for (std::size_t later = t + 1; later < m_targets.size(); ++later) {
                if (m_trees[later])
                    m_unreached.push_back(destinationOf(m_targets[later]));
            }
            throw;
        }
    }

private:
    const Files& filesOf(std::size_t t)
    {
        Files& files = m_files[t];
        if (files.empty()) {
            // Of the exact size: a growing list would need its old and new copies at once.
            const auto& items = m_targets[t].plugin->items;
            const auto isFile = [](const ZFCEntry& entry) { return entry.type == "file"; };
            files.reserve(static_cast<std::size_t>(std::count_if(items.begin(), items.end(), isFile)));
            for (const ZFCEntry& entry : items) {
                if (entry.type == "file")
                    files.push_back(&entry);
            }
            std::stable_sort(files.begin(), files.end(), [](const ZFCEntry* a, const ZFCEntry* b) {
                return a->position.value_or(0) < b->position.value_or(0);
            });
        }
        return files;
    }

    // ---- feeding the queue, on the calling thread ----

    // Hands the workers every chunk there is room for. A chunk whose header is refused
    // becomes a slot with the error and ends the feed, as does a chunk with bytes past the
    // last file (the writer finds them itself) and a target whose stream does not fit.
    void feed()
    {
        while (!m_feedStopped && m_feedTarget < m_targets.size()) {
            if (!m_feedStarted) {
                m_feedStopped = !streamRange(*m_targets[m_feedTarget].plugin, m_feedEnd);
                m_feedOffset = m_targets[m_feedTarget].plugin->position;
                m_feedCursor = {};
                m_feedStarted = true;
                if (!m_feedStopped)
                    beginAhead(m_feedTarget);
                continue;
            }
            if (m_feedOffset >= m_feedEnd) {
                ++m_feedTarget;
                m_feedStarted = false;
                continue;
            }
            Slot* slot = m_queue.tryClaim();
            if (!slot)
                return;
            slot->target = m_feedTarget;
            slot->tree = m_trees[m_feedTarget].get();
            slot->length = 0;
            slot->error = nullptr;
            slot->keeps = false;
            try {
                slot->length = chunkLength(m_feedOffset, m_feedEnd);
                slot->offset = m_feedOffset + static_cast<int64_t>(kHeaderSize);
                slot->cursor = m_feedCursor;
                FileCursor after = m_feedCursor;
                bool partial = false;
                const bool whole = walk(filesOf(m_feedTarget), after, slot->length - kIvSize,
                                        [&partial](const Piece& piece) { partial = partial || !piece.opens || !piece.closes; });
                // A chunk the writer needs waits while enough of them are kept: each holds a
                // buffer. It is read again when there is room.
                slot->keeps = partial || !slot->tree;
                if (slot->keeps && m_kept >= kKeptChunks)
                    return;
                m_feedOffset = slot->offset + static_cast<int64_t>(slot->length);
                m_feedCursor = after;
                m_feedStopped = !whole;
            } catch (...) {
                slot->length = 0;
                slot->error = std::current_exception();
                slot->keeps = false;
                m_feedStopped = true;
            }
            m_kept += slot->keeps ? 1 : 0;
            m_queue.submit();
        }
    }

    // A later plug-in's folder, made before the writer reaches it so that the workers can
    // make its files: only where extraction replaces what is there and nothing is (so that
    // nothing is lost if an earlier plug-in fails), and only when the writer would not refuse
    // the plug-in before touching its folder. Any failure here is left for the writer to meet
    // in order: it begins the folder again, replacing what this made.
    void beginAhead(std::size_t t)
    {
        const ExtractTarget& target = m_targets[t];
        if (m_trees[t] || !target.overwrite)
            return;
        try {
            checkRawSizes(*target.plugin, filesOf(t));
            const fs::path dest = destinationOf(target);
            struct stat st {};
            if (::lstat(dest.c_str(), &st) == 0 || errno != ENOENT)
                return;
            auto tree = std::make_unique<DestinationTree>();
            if (tree->begin(dest, *target.plugin, true))
                m_trees[t] = std::move(tree);
        } catch (...) {
        }
    }

    // The sealed length of the chunk whose header is at `offset`, refused before reading:
    // too short to hold an IV and a byte, longer than a sealed 1 MiB piece, or running past
    // the plug-in's stream.
    std::size_t chunkLength(int64_t offset, int64_t end)
    {
        uint8_t header[kHeaderSize];
        if (m_file.readAt(header, sizeof header, offset) != sizeof header)
            throw ZFCPackageError::failure(ErrorKind::chunkHeaderTruncated, offset);
        const int64_t length = readLengthHeader(header);
        if (length < kMinSealedLength || length > kMaxChunkLength || length > end - offset - static_cast<int64_t>(kHeaderSize))
            throw ZFCPackageError::failure(ErrorKind::chunkLengthInvalid, length);
        return static_cast<std::size_t>(length);
    }

    // ---- the workers ----

    void prepare(Slot& slot, Turn& turn)
    {
        if (slot.length == 0)
            return;
        // Read into the worker's own buffer, which goes with the slot only when the writer
        // needs the chunk's bytes.
        std::unique_ptr<uint8_t[]>& chunk = m_chunks[turn.worker()];
        try {
            if (!chunk)
                chunk = takeChunk();
            if (m_file.readAt(chunk.get(), slot.length, slot.offset) != slot.length)
                throw ZFCPackageError::failure(ErrorKind::chunkBodyTruncated, slot.offset);
            cryptInPlace(chunk.get() + kIvSize, slot.length - kIvSize, chunk.get());
        } catch (...) {
            slot.error = std::current_exception();
            return;
        }
        if (slot.tree)
            makeWholeFiles(slot, turn, chunk.get() + kIvSize);
        if (!slot.keeps)
            return;
        slot.chunk = std::move(chunk);
        if (!slot.tree)
            inflateAhead(slot, turn);
    }

    // A chunk buffer the writer is done with, else a new one.
    std::unique_ptr<uint8_t[]> takeChunk()
    {
        {
            const std::lock_guard lock(m_spareMutex);
            if (!m_spare.empty()) {
                std::unique_ptr<uint8_t[]> chunk = std::move(m_spare.back());
                m_spare.pop_back();
                return chunk;
            }
        }
        return std::unique_ptr<uint8_t[]>(new uint8_t[kMaxChunkLength]);
    }

    // The worker's own handles in the slot's plug-in folder, kept while its slots are of that
    // plug-in.
    DestinationTree& branchFor(const Slot& slot, const Turn& turn)
    {
        Branch& branch = m_branches[turn.worker()];
        if (!branch.tree || branch.target != slot.target) {
            branch.tree.reset();
            branch.tree = std::make_unique<DestinationTree>(slot.tree->branch());
            branch.target = slot.target;
        }
        return *branch.tree;
    }

    // Makes each file that lies whole in the chunk, as the writer would, in order; the first
    // error ends it, kept for the writer to throw when it reaches that file. Many threads
    // making files get the cores' share that one writer would not when other work keeps
    // them busy.
    void makeWholeFiles(Slot& slot, Turn& turn, const uint8_t* plain)
    {
        const Files& files = m_files[slot.target];
        std::unique_ptr<ZFCInflater>& inflater = m_inflaters[turn.worker()];
        DestinationTree* tree = nullptr;
        bool failed = false;
        FileCursor cursor = slot.cursor;
        walk(files, cursor, slot.length - kIvSize, [&](const Piece& piece) {
            if (failed || !piece.opens || !piece.closes || turn.stopToken().stop_requested())
                return;
            const ZFCEntry& entry = *files[piece.file];
            MadeFile made{.file = piece.file};
            try {
                if (!tree)
                    tree = &branchFor(slot, turn);
                ZFCFileHandle out = tree->createFile(entry.path);
                if (entry.isCompressed()) {
                    const int64_t limit = entry.size.value_or(-1);
                    if (inflater ? !inflater->reset(out, limit) : !(inflater = ZFCInflater::create(out, limit)))
                        throw ZFCPackageError::failure(ErrorKind::inflaterInitFailed, out.path().string());
                    if (piece.length > 0)
                        inflater->append({plain + piece.at, piece.length});
                    const bool complete = inflater->complete();
                    inflater->end();
                    if (!complete)
                        throw damaged(ErrorKind::streamTruncated, *m_targets[slot.target].plugin, entry);
                } else if (piece.length > 0) {
                    out.write(plain + piece.at, piece.length);
                }
            } catch (...) {
                made.error = std::current_exception();
                failed = true;
                if (inflater && inflater->inited())
                    inflater->end();
            }
            slot.made.push_back(std::move(made));
        });
    }

    // Inflates each compressed file that lies whole in the chunk and is small enough, while
    // the budget has room for it and its record (so that countless tiny files cannot grow
    // the records past it either); the writer inflates the others.
    void inflateAhead(Slot& slot, Turn& turn)
    {
        const Files& files = m_files[slot.target];
        const uint8_t* plain = slot.chunk.get() + kIvSize;
        FileCursor cursor = slot.cursor;
        int64_t total = 0;
        walk(files, cursor, slot.length - kIvSize, [&](const Piece& piece) {
            const ZFCEntry& entry = *files[piece.file];
            const int64_t size = entry.size.value_or(-1);
            if (piece.opens && piece.closes && piece.length > 0 && entry.isCompressed() && size >= 0 &&
                size <= kAheadFileLimit && turn.tryReserve(size + static_cast<int64_t>(sizeof(AheadFile)))) {
                slot.ahead.push_back({.file = piece.file, .stored = plain + piece.at, .length = piece.length, .size = size});
                total += size;
            }
        });
        slot.output.reserve(static_cast<std::size_t>(total));
        std::unique_ptr<ZFCInflater>& inflater = m_inflaters[turn.worker()];
        const auto sink = [&output = slot.output](const uint8_t* bytes, std::size_t count) {
            output.insert(output.end(), bytes, bytes + count);
        };
        for (AheadFile& file : slot.ahead) {
            if (turn.stopToken().stop_requested())
                return;
            file.offset = slot.output.size();
            try {
                file.started = inflater ? inflater->reset(sink, file.size)
                                        : (inflater = ZFCInflater::create(sink, file.size)) != nullptr;
                if (file.started) {
                    inflater->append({file.stored, file.length});
                    file.ended = inflater->complete();
                }
            } catch (...) {
                file.error = std::current_exception();
            }
            file.produced = slot.output.size() - file.offset;
        }
    }

    // ---- the writer, on the calling thread ----

    // False when the target's folder has appeared since the caller looked and may not be
    // replaced: then nothing more is done.
    bool extractTarget(std::size_t t)
    {
        const ExtractTarget& target = m_targets[t];
        const ZFCPlugin& plugin = *target.plugin;
        streamEnd(plugin);
        const Files& files = filesOf(t);
        checkRawSizes(plugin, files);
        if (!m_trees[t]) {
            auto tree = std::make_unique<DestinationTree>();
            if (!tree->begin(destinationOf(target), plugin, target.overwrite))
                return false;
            m_trees[t] = std::move(tree);
        }
        m_tree = m_trees[t].get();
        m_plugin = &plugin;
        FileCursor cursor;
        int64_t consumed = 0;
        for (;;) {
            feed();
            Slot* slot = m_queue.front();
            if (!slot || slot->target != t)
                break;
            // A chunk that could not be read ends the extraction before its files.
            if (slot->error)
                std::rethrow_exception(slot->error);
            writeChunk(*slot, files, cursor);
            consumed += static_cast<int64_t>(slot->length);
            const auto eSize = static_cast<double>(std::max<int64_t>(plugin.eSize, 1));
            report(ZFCProgress::Stage::decrypting, static_cast<double>(consumed) / eSize);
            // The inflated bytes go with the bytes the queue counted for them.
            slot->ahead = {};
            slot->output = {};
            slot->made.clear();
            m_kept -= slot->keeps ? 1 : 0;
            if (slot->chunk) {
                // No more than the window's worth are ever kept: room was made for them.
                const std::lock_guard lock(m_spareMutex);
                if (m_spare.size() < m_spare.capacity())
                    m_spare.push_back(std::move(slot->chunk));
                slot->chunk.reset();
            }
            m_queue.pop();
        }
        // A file cut short, or one with bytes the stream never reached, means the package
        // is damaged. Empty files past the last byte are created.
        if (cursor.taken > 0)
            throw damaged(ErrorKind::streamTruncated, plugin, *files[cursor.next]);
        std::size_t end = cursor.next;
        while (end < files.size() && files[end]->storedSize() == 0 && !files[end]->isCompressed())
            ++end;
        makeEmptyFiles(files, cursor.next, end);
        if (end < files.size())
            throw damaged(ErrorKind::streamTruncated, plugin, *files[end]);
        m_tree->makeLinks(plugin);
        m_files[t] = {};
        m_tree = nullptr;
        m_trees[t].reset();
        report(ZFCProgress::Stage::extracting, 1.0);
        return true;
    }

    // The empty files [from, to), made in order on this thread unless there are many: then
    // on as many threads as cores, each making whole runs of files of one folder. This is
    // most of the work of a package of countless empty files, and one thread gets but a
    // share of a core when others keep the cores busy.
    void makeEmptyFiles(const Files& files, std::size_t from, std::size_t to)
    {
        std::vector<std::size_t> runs;  // where each folder's run starts
        if (to - from >= kManyEmptyFiles && coreCount() > 1)
            runs = folderRuns(files, from, to);
        if (runs.size() < 2) {
            for (std::size_t i = from; i < to; ++i)
                m_tree->createFile(files[i]->path);
            return;
        }
        runs.push_back(to);
        const std::size_t count = runs.size() - 1;
        std::vector<std::exception_ptr> failures(count);
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        const auto work = [&](DestinationTree& tree) {
            for (std::size_t r; !failed.load(std::memory_order_relaxed) && (r = next.fetch_add(1)) < count;) {
                try {
                    for (std::size_t i = runs[r]; i < runs[r + 1]; ++i)
                        tree.createFile(files[i]->path);
                } catch (...) {
                    failures[r] = std::current_exception();
                    failed = true;
                }
            }
        };
        const auto threads = static_cast<std::size_t>(std::min<std::size_t>(coreCount(), count));
        std::vector<DestinationTree> branches;
        branches.reserve(threads - 1);
        for (std::size_t k = 1; k < threads; ++k)
            branches.push_back(m_tree->branch());
        {
            std::vector<std::jthread> helpers;
            helpers.reserve(branches.size());
            try {
                for (DestinationTree& branch : branches)
                    helpers.emplace_back([&work, &branch] { work(branch); });
            } catch (const std::system_error&) {
                // No thread to spare: the ones there are make them all.
            }
            work(*m_tree);
        }
        // The first failure in the files' order, as making them one by one would meet it.
        for (const std::exception_ptr& failure : failures) {
            if (failure)
                std::rethrow_exception(failure);
        }
    }

    // Where the files [from, to) change folders. A package whose paths name one item twice,
    // or a file as another's folder, was refused when it was opened: threads that make
    // different runs never meet at one name.
    static std::vector<std::size_t> folderRuns(const Files& files, std::size_t from, std::size_t to)
    {
        std::vector<std::size_t> runs;
        std::string_view last;
        for (std::size_t i = from; i < to; ++i) {
            const std::string_view path = files[i]->path;
            const std::size_t slash = path.rfind('/');
            const std::string_view folder = path.substr(0, slash == std::string_view::npos ? 0 : slash);
            if (runs.empty() || folder != last) {
                runs.push_back(i);
                last = folder;
            }
        }
        return runs;
    }

    void report(ZFCProgress::Stage stage, double fraction) const
    {
        if (m_progress)
            m_progress({.stage = stage, .subject = m_plugin->name, .fraction = fraction});
    }

    void writeChunk(const Slot& slot, const Files& files, FileCursor& cursor)
    {
        // No bytes kept when the worker made every file of the chunk.
        const uint8_t* plain = slot.chunk ? slot.chunk.get() + kIvSize : nullptr;
        std::size_t nextAhead = 0;
        std::size_t nextMade = 0;
        const bool whole = walk(files, cursor, slot.length - kIvSize, [&](const Piece& piece) {
            if (nextMade < slot.made.size() && slot.made[nextMade].file == piece.file) {
                const MadeFile& made = slot.made[nextMade++];
                if (made.error) {
                    m_entry = files[piece.file];
                    rethrowNamed(made.error);
                }
                return;  // the worker made it whole
            }
            const AheadFile* ahead = nullptr;
            if (nextAhead < slot.ahead.size() && slot.ahead[nextAhead].file == piece.file)
                ahead = &slot.ahead[nextAhead++];
            if (piece.opens)
                openFile(*files[piece.file], ahead != nullptr);
            if (ahead)
                takeAhead(*ahead, slot.output);
            else if (piece.length > 0 && !m_inflating)
                m_out.write(plain + piece.at, piece.length);
            else if (piece.length > 0 && m_inflater->inited() && !m_inflater->reachedEnd())
                inflate({plain + piece.at, piece.length});
            if (piece.closes)
                completeFile();
        });
        if (!whole)
            throw ZFCPackageError::failure(ErrorKind::plaintextOverrun);
    }

    void openFile(const ZFCEntry& entry, bool inflatedAhead)
    {
        m_out = m_tree->createFile(entry.path);
        m_entry = &entry;
        if (!inflatedAhead && entry.isCompressed()) {
            // One inflater for all the files, reset for each.
            const int64_t limit = entry.size.value_or(-1);
            if (m_inflater ? !m_inflater->reset(m_out, limit) : !(m_inflater = ZFCInflater::create(m_out, limit)))
                throw ZFCPackageError::failure(ErrorKind::inflaterInitFailed, m_out.path().string());
            m_inflating = true;
        }
    }

    void takeAhead(const AheadFile& file, const std::vector<uint8_t>& output)
    {
        if (!file.started)
            throw ZFCPackageError::failure(ErrorKind::inflaterInitFailed, m_out.path().string());
        if (file.produced > 0)
            m_out.write(output.data() + file.offset, file.produced);
        if (file.error)
            rethrowNamed(file.error);
        if (!file.ended)
            throw damaged(ErrorKind::streamTruncated, *m_plugin, *m_entry);
    }

    void completeFile()
    {
        if (m_inflating) {
            const bool complete = m_inflater->inited() && m_inflater->complete();
            m_inflater->end();
            m_inflating = false;
            if (!complete)
                throw damaged(ErrorKind::streamTruncated, *m_plugin, *m_entry);
        }
        m_out.close();
    }

    void inflate(std::span<const uint8_t> bytes)
    {
        try {
            m_inflater->append(bytes);
        } catch (...) {
            rethrowNamed(std::current_exception());
        }
    }

    // An inflater that wrote past its file's size, or met data zlib refuses, says so
    // without naming the file.
    [[noreturn]] void rethrowNamed(const std::exception_ptr& error) const
    {
        try {
            std::rethrow_exception(error);
        } catch (const ZFCPackageError& e) {
            if (e.kind() == ErrorKind::plaintextOverrun && e.subject().empty())
                throw damaged(ErrorKind::plaintextOverrun, *m_plugin, *m_entry);
            if (e.kind() == ErrorKind::inflateFailed)
                throw e.damagedIn(whereabouts(*m_plugin, *m_entry));
            throw;
        }
    }

    ZFCFileHandle& m_file;
    const std::vector<ExtractTarget>& m_targets;
    const ZFCProgressCallback& m_progress;
    std::vector<Files> m_files;  // target by target, while its chunks are in the queue
    std::vector<std::unique_ptr<DestinationTree>> m_trees;  // target by target, once its folder is begun
    std::vector<fs::path>& m_unreached;
    std::size_t& m_failedAt;
    std::vector<std::unique_ptr<ZFCInflater>> m_inflaters;  // one per worker
    std::vector<std::unique_ptr<uint8_t[]>> m_chunks;       // one per worker
    std::mutex m_spareMutex;
    std::vector<std::unique_ptr<uint8_t[]>> m_spare;        // chunk buffers the writer is done with
    struct Branch
    {
        std::size_t target = 0;
        std::unique_ptr<DestinationTree> tree;
    };
    std::vector<Branch> m_branches;  // one per worker

    // The feed's own state.
    std::size_t m_feedTarget = 0;
    bool m_feedStarted = false;
    bool m_feedStopped = false;  // nothing more can be fed
    int64_t m_feedOffset = 0;
    int64_t m_feedEnd = 0;
    FileCursor m_feedCursor;
    std::size_t m_kept = 0;  // slots queued whose chunk the writer needs

    // The writer's own state.
    DestinationTree* m_tree = nullptr;  // the target's, in m_trees
    const ZFCPlugin* m_plugin = nullptr;
    const ZFCEntry* m_entry = nullptr;
    ZFCFileHandle m_out;
    std::unique_ptr<ZFCInflater> m_inflater;
    bool m_inflating = false;

    // Last, so that its workers stop before anything they use goes.
    ZFCWorkQueue<Slot> m_queue;
};

} // namespace

fs::path destinationOf(const ExtractTarget& target)
{
    std::string folder;
    if (target.name)
        folder = trimWhitespace(*target.name);
    if (folder.empty())
        folder = target.plugin->name;
    folder = ZFCPackageReader::safeName(folder);
    if (folder.empty())
        throw ZFCPackageError::metadataCorrupted();
    return target.root / folder;
}

int64_t streamEnd(const ZFCPlugin& plugin)
{
    int64_t end = 0;
    if (!streamRange(plugin, end))
        throw ZFCPackageError::metadataCorrupted();
    return end;
}

void extractTargets(ZFCFileHandle& file, const std::vector<ExtractTarget>& targets, const ZFCProgressCallback& progress,
                    std::size_t* failedAt)
{
    if (targets.empty())
        return;
    std::size_t failed = 0;
    try {
        for (; failed < targets.size(); ++failed)
            ZFCPackageReader::checkDepth(*targets[failed].plugin);
    } catch (...) {
        if (failedAt)
            *failedAt = failed;
        throw;
    }
    // About one worker per chunk to come, one core being left to the writer.
    int64_t chunks = 0;
    for (const ExtractTarget& target : targets)
        chunks += target.plugin->eSize / static_cast<int64_t>(kPieceSize) + 1;
    const auto workers = static_cast<unsigned>(std::clamp<int64_t>(chunks, 1, std::max(1u, coreCount() - 1)));
    std::vector<fs::path> unreached;
    failed = 0;
    try {
        Extraction(file, targets, progress, workers, unreached, failed).run();
    } catch (...) {
        if (failedAt)
            *failedAt = failed;
        // The workers are gone: what was begun for plug-ins after the failure goes.
        for (const fs::path& folder : unreached) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
        throw;
    }
}

} // namespace kit
