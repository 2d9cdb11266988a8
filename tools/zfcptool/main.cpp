// zfcptool: drives LoomworkKit from the command line.
//   zfcptool list PACKAGE
//   zfcptool pack OUTPUT TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool pack-each OUTDIR TYPE NAME DIR [TYPE NAME DIR ...]
//   zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]
// --progress (any command) prints every report on stderr as stage<TAB>subject<TAB>fraction.
// extract writes into a hidden folder of its own inside ROOT and moves the plug-ins into
// place only once the package has been read whole: a failure leaves ROOT as it was.
// Exit status 0 on success, 1 on failure with the error's description as the last line of
// stderr.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "用法：\n"
    "  zfcptool list PACKAGE\n"
    "  zfcptool pack OUTPUT TYPE NAME DIR [TYPE NAME DIR ...]\n"
    "  zfcptool pack-each OUTDIR TYPE NAME DIR [TYPE NAME DIR ...]\n"
    "  zfcptool extract PACKAGE ROOT [INDEX [NAME]] [--overwrite]\n"
    "  --progress  在标准错误上逐条输出进度（阶段<TAB>对象<TAB>比例）\n"
    "  TYPE: effect, subtitle, generator, transitions\n";

struct UsageError : std::exception
{
    explicit UsageError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

void printProgress(const ZFCProgress& p)
{
    std::cerr << ZFCProgress::rawValue(p.stage) << '\t' << p.subject << '\t' << p.fraction << '\n';
}

[[noreturn]] void throwErrno(const char* what, const fs::path& path, int error = errno)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Anything at `path`, a link itself included.
bool isThere(const fs::path& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

enum class Move { noReplace, exchange };

// One rename with a flag, or ENOSYS where the system has no such call.
int renameWith(const fs::path& from, const fs::path& to, Move how)
{
#if defined(__APPLE__)
    const unsigned flag = how == Move::exchange ? RENAME_SWAP : RENAME_EXCL;
    return ::renamex_np(from.c_str(), to.c_str(), flag) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(RENAME_NOREPLACE)
    const unsigned flag = how == Move::exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flag) == 0 ? 0 : errno;
#else
    return ENOSYS;
#endif
}

// The flag is not supported here (some file systems refuse it).
bool refused(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP; }

// rename() that never replaces: EEXIST when `to` is there.
int renameNew(const fs::path& from, const fs::path& to)
{
    const int error = renameWith(from, to, Move::noReplace);
    if (!refused(error))
        return error;
    // The caller has just seen `to` missing.
    if (isThere(to))
        return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Swaps the items at `a` and `b` in one step; where the file system cannot, by three
// renames through `spare`, a free name in the staging folder.
int exchange(const fs::path& a, const fs::path& b, const fs::path& spare)
{
    const int error = renameWith(a, b, Move::exchange);
    if (!refused(error))
        return error;
    if (::rename(b.c_str(), spare.c_str()) != 0)
        return errno;
    if (::rename(a.c_str(), b.c_str()) != 0) {
        const int failed = errno;
        ::rename(spare.c_str(), b.c_str());
        return failed;
    }
    return ::rename(spare.c_str(), a.c_str()) == 0 ? 0 : errno;
}

// An extraction into ROOT through a hidden staging folder ".zfcptool-extract-<16 hex>" that
// this run creates inside it: the reader writes into tree(), commit() moves each plug-in
// folder into place (exchanged with an old one, which then goes with the staging folder).
// Until commit() completes, the destructor puts back what was moved and removes the
// folders this run made; the staging folder is removed in any case. Nothing else is touched.
class StagedExtract
{
public:
    explicit StagedExtract(const fs::path& root) : m_root(root)
    {
        makeFolders(root);
        std::random_device random;
        for (int attempt = 0;; ++attempt) {
            char name[64];
            std::snprintf(name, sizeof name, ".zfcptool-extract-%08x%08x", random(), random());
            const fs::path staging = root / name;
            if (::mkdir(staging.c_str(), 0700) == 0) {
                m_staging = staging;
                break;
            }
            if (errno != EEXIST || attempt == 7) {
                const int error = errno;
                removeMade();
                throwErrno("cannot create", staging, error);
            }
        }
    }
    ~StagedExtract()
    {
        if (!m_committed)
            putBack();
        std::error_code ec;
        fs::remove_all(m_staging, ec);
        if (ec)
            std::cerr << "无法删除临时文件夹：" << m_staging.string() << '\n';
        if (!m_committed)
            removeMade();
    }
    StagedExtract(const StagedExtract&) = delete;
    StagedExtract& operator=(const StagedExtract&) = delete;

    fs::path tree() const { return m_staging / "tree"; }

    // Moves the folders `depth` levels down in tree() to the same place in ROOT; an item
    // already there is replaced only when `replace` (else the staged copy is dropped).
    void commit(int depth, bool replace)
    {
        std::vector<fs::path> staged;
        for (const fs::directory_entry& top : isThere(tree()) ? fs::directory_iterator(tree()) : fs::directory_iterator()) {
            if (depth == 1) {
                staged.push_back(top.path().filename());
                continue;
            }
            for (const fs::directory_entry& item : fs::directory_iterator(top.path()))
                staged.push_back(top.path().filename() / item.path().filename());
        }
        for (const fs::path& rel : staged) {
            const fs::path from = tree() / rel;
            const fs::path to = m_root / rel;
            makeFolders(to.parent_path());
            int error = isThere(to) ? EEXIST : renameNew(from, to);
            if (error == 0) {
                m_placed.push_back({from, to, false});
                continue;
            }
            if (error == EEXIST && !replace)
                continue;
            if (error == EEXIST && (error = exchange(from, to, m_staging / "spare")) == 0) {
                m_placed.push_back({from, to, true});
                continue;
            }
            throwErrno("cannot move into place", to, error);
        }
        m_committed = true;
    }

private:
    struct Placed
    {
        fs::path staged;  // after the move: the old item, when there was one
        fs::path target;
        bool replaced;
    };

    // Creates `folder` and its missing parents, remembering each one made.
    void makeFolders(const fs::path& folder)
    {
        std::vector<fs::path> missing;
        for (fs::path p = folder; !p.empty() && !isThere(p); p = p.parent_path()) {
            missing.push_back(p);
            if (p == p.parent_path())
                break;
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (::mkdir(it->c_str(), 0777) == 0)
                m_made.push_back(*it);
            else if (errno != EEXIST)
                throwErrno("cannot create directory", *it);
        }
    }

    void putBack() noexcept
    {
        for (auto it = m_placed.rbegin(); it != m_placed.rend(); ++it) {
            if (it->replaced)
                exchange(it->staged, it->target, m_staging / "spare");
            else
                ::rename(it->target.c_str(), it->staged.c_str());
        }
    }
    // Only empty folders go: rmdir never removes anything else.
    void removeMade() noexcept
    {
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
            ::rmdir(it->c_str());
    }

    fs::path m_root;
    fs::path m_staging;
    std::vector<fs::path> m_made;
    std::vector<Placed> m_placed;
    bool m_committed = false;
};

std::vector<ZFCPackItem> packItems(const std::vector<std::string>& args, std::size_t first)
{
    if (args.size() <= first || (args.size() - first) % 3 != 0)
        throw UsageError("参数错误：每个插件需要 TYPE NAME DIR 三项");
    std::vector<ZFCPackItem> items;
    for (std::size_t i = first; i < args.size(); i += 3) {
        const auto type = ZFCPluginType::from(args[i]);
        if (!type)
            throw UsageError("未知的插件类型：" + args[i]);
        items.push_back({*type, args[i + 1], fs::path(args[i + 2])});
    }
    return items;
}

int run(const std::vector<std::string>& args, bool overwrite, const ZFCProgressCallback& progress)
{
    if (args.empty())
        throw UsageError("缺少命令");
    const std::string& command = args[0];
    if (command == "list" && args.size() == 2) {
        // The records of ZFCPlugin::encodeArray, each entry printed as soon as it is parsed
        // (so a plug-in's items come before its other keys): memory stays flat whatever the
        // number of entries.
        std::size_t plugins = 0;
        std::size_t entries = 0;
        bool inItems = false;
        const auto startItems = [&] {
            if (!inItems)
                std::cout << (plugins ? ",{\"items\":[" : "[{\"items\":[");
            inItems = true;
        };
        ZFCPackageReader::visitMetadata(
            args[1],
            [&](const ZFCEntry& entry) {
                startItems();
                std::cout << (entries++ ? "," : "") << entry.toJson();
            },
            [&](const ZFCPlugin& plugin) {
                startItems();
                std::string rest = plugin.toJson();
                rest.erase(rest.find("\"items\":[],"), 11);
                std::cout << "]," << rest.substr(1);
                inItems = false;
                entries = 0;
                ++plugins;
            });
        std::cout << (plugins ? "]\n" : "[]\n");
        return 0;
    }
    if (command == "pack" && args.size() >= 2) {
        ZFCPacker::pack(packItems(args, 2), args[1], progress);
        return 0;
    }
    if (command == "pack-each" && args.size() >= 2) {
        ZFCPacker::packEach(packItems(args, 2), args[1], progress);
        return 0;
    }
    if (command == "extract" && args.size() >= 3 && args.size() <= 5) {
        ZFCPackageReader reader(args[1]);
        const fs::path root = args[2];
        if (args.size() == 3) {
            StagedExtract staged(root);
            reader.extractAll(staged.tree(), progress);
            staged.commit(2, true);
            return 0;
        }
        std::size_t index = 0;
        try {
            std::size_t used = 0;
            index = std::stoul(args[3], &used);
            if (used != args[3].size())
                throw UsageError({});
        } catch (const std::exception&) {
            throw UsageError("序号无效：" + args[3]);
        }
        if (index >= reader.plugins().size())
            throw UsageError("序号超出范围：" + args[3] + "（封包内有 " + std::to_string(reader.plugins().size()) + " 个插件）");
        const ZFCPlugin& plugin = reader.plugins()[index];
        const std::optional<std::string> name = args.size() == 5 ? std::optional<std::string>(args[4]) : std::nullopt;
        // An existing folder is kept without a word unless --overwrite (the reader's rule).
        std::string folder = name ? ZFCPackageReader::safeName(*name) : std::string();
        if (folder.empty())
            folder = ZFCPackageReader::safeName(plugin.name);
        if (!overwrite && !folder.empty() && isThere(root / folder))
            return 0;
        StagedExtract staged(root);
        reader.extract(plugin, staged.tree(), name, true, progress);
        staged.commit(1, overwrite);
        return 0;
    }
    throw UsageError("命令或参数无效");
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    bool overwrite = false;
    bool showProgress = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--overwrite")
            overwrite = true;
        else if (arg == "--progress")
            showProgress = true;
        else
            args.push_back(arg);
    }
    const ZFCProgressCallback progress = showProgress ? ZFCProgressCallback(printProgress) : ZFCProgressCallback();
    try {
        return run(args, overwrite, progress);
    } catch (const UsageError& e) {
        std::cerr << kUsage << e.message << '\n';
    } catch (const ZFCPackageError& e) {
        std::cerr << e.errorDescription() << '\n';
    } catch (const AES256CTR::CryptoError& e) {
        std::cerr << e.errorDescription() << '\n';
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    }
    return 1;
}
