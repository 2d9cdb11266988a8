// loomwork-admin OPERATION ROOT [PATH] [SOURCE] [HIDDEN]
//
// Run as root by Loomwork for the system library at ROOT (absolute, links above it already
// resolved), PATH being the item inside it ("Effects.localized/Glow"):
//   remove ROOT PATH HIDDEN    moves the item to HIDDEN beside it, then removes it
//   replace ROOT PATH SOURCE HIDDEN
//                              copies SOURCE to HIDDEN beside the item, exchanges the two,
//                              then removes HIDDEN (the old item)
//   mkdir ROOT PATH            creates the folder and what is missing above it, then opens
//                              the folder's tree to everyone
//   prepare-root ROOT          creates ROOT and its four category folders, then opens ROOT's
//                              tree to everyone
//   permit ROOT                opens ROOT's tree to everyone
// HIDDEN is a name of the application's hidden form (SafeFS/HiddenName.h), which its journal
// names before the helper runs, so that what a killed helper leaves is put right by the
// application's recovery; the helper never writes into that journal, and never touches an
// item already at HIDDEN.
// "--hex" before the operation: every path argument is given as its bytes in hexadecimal
// (names need not be UTF-8, a process's arguments may be re-encoded on the way).
// Every local user may change the library, so every step is taken through folder handles
// from ROOT down: a link met on the way refuses the operation. Exit status 0 on success,
// 1 when the operation failed, 2 for arguments it refuses; the reason goes to stderr.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/HiddenName.h>

namespace {

using DirHandle::Fd;

constexpr const char* kCategories[] = {"Effects.localized", "Titles.localized", "Generators.localized",
                                       "Transitions.localized"};
constexpr mode_t kOpen = 0777;

// "2f746d70" -> "/tmp"; false when it is not an even count of hexadecimal digits.
bool fromHex(std::string_view hex, std::string& out)
{
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(char(high * 16 + low));
    }
    return true;
}

int usage(const char* why)
{
    std::fprintf(stderr, "loomwork-admin: %s\n", why);
    return 2;
}

int failure(const std::string& what, int error)
{
    const char* reason = error == ELOOP ? "a symbolic link on the way, refused" : std::strerror(error);
    std::fprintf(stderr, "loomwork-admin: %s: %s\n", what.c_str(), reason);
    return 1;
}

std::vector<std::string> split(std::string_view path)
{
    std::vector<std::string> parts;
    for (;;) {
        const std::size_t slash = path.find('/');
        parts.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos)
            return parts;
        path = path.substr(slash + 1);
    }
}

// Every component a plain name: no "", ".", "..".
bool isPlainPath(std::string_view path)
{
    for (const std::string& part : split(path)) {
        if (!DirHandle::isPlainName(part))
            return false;
    }
    return true;
}

bool isPlainRoot(std::string_view root)
{
    return root.size() > 1 && root.front() == '/' && isPlainPath(root.substr(1));
}

// The folder holding the root (links above the root are the system's own), and the root's name.
int openAboveRoot(const std::string& root, Fd& parent, std::string& name)
{
    const std::size_t slash = root.rfind('/');
    name = root.substr(slash + 1);
    const std::string folder = slash == 0 ? "/" : root.substr(0, slash);
    parent = Fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parent.valid() ? 0 : errno;
}

// Creates the root when it is missing (with its parents, as `mkdir -p` would) and opens it.
int makeRoot(const std::string& root, Fd& out)
{
    int error = DirHandle::openRoot(root, out);
    if (error != ENOENT)
        return error;
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec && ec.value() != EEXIST)
        return ec.value();
    return DirHandle::openRoot(root, out);
}

// Opens the folder holding PATH's last item, walking down from the root.
int openParent(const std::string& root, const std::string& path, Fd& parent, std::string& name)
{
    const std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    return DirHandle::openPath(root, slash == std::string::npos ? std::string() : path.substr(0, slash), parent);
}

bool refusesRename(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// The item leaves its name in one step, so a removal stopped halfway leaves no half plug-in
// under it: what is left lies at the hidden name the application's journal gives.
int removeItem(const std::string& root, const std::string& path, const std::string& hidden)
{
    Fd parent;
    std::string name;
    if (const int error = openParent(root, path, parent, name))
        return error;
    // What is removed is the item that stood at the name, not whatever another user renames
    // onto the hidden name meanwhile.
    SafeFS::Identity item;
    if (const int error = SafeFS::identityAt(parent.get(), name, item))
        return error == ENOENT ? 0 : error;
    int error = DirHandle::renameAt(parent.get(), name, parent.get(), hidden, DirHandle::Rename::noReplace);
    if (refusesRename(error)) {
        struct stat st {};
        error = ::fstatat(parent.get(), hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
            ? EEXIST
            : DirHandle::renameAt(parent.get(), name, parent.get(), hidden, DirHandle::Rename::replace);
    }
    if (error == ENOENT)
        return 0; // nothing there
    if (error)
        return error;
    return DirHandle::removeIdentified(parent.get(), hidden, item);
}

// The copy is made beside the item first, then exchanged with it: a copy that fails (a full
// disk) leaves the old item as it was.
int replaceItem(const std::string& root, const std::string& path, const std::string& source, const std::string& hidden)
{
    Fd parent;
    std::string name;
    if (const int error = openParent(root, path, parent, name))
        return error;
    // Whatever stands at the hidden name before the copy is not this run's: it is never removed.
    struct stat st {};
    if (::fstatat(parent.get(), hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    int error = DirHandle::copyInto(source, parent.get(), hidden);
    bool exchanged = false;
    if (!error) {
        error = DirHandle::renameAt(parent.get(), hidden, parent.get(), name, DirHandle::Rename::exchange);
        exchanged = error == 0;
        if (error == ENOENT) {
            error = DirHandle::renameAt(parent.get(), hidden, parent.get(), name, DirHandle::Rename::noReplace);
        } else if (refusesRename(error)) {
            // No exchange on this file system: the old item goes only once the copy is whole.
            error = DirHandle::removeAt(parent.get(), name);
            if (!error)
                error = DirHandle::renameAt(parent.get(), hidden, parent.get(), name, DirHandle::Rename::noReplace);
        }
    }
    // After an exchange the hidden name holds the old item; after a failure, the partial copy,
    // which is ours (a neighbour's item put there meanwhile is not), and which stays where the
    // old item is already gone. What cannot go now goes with the application's next recovery.
    struct stat at {};
    if (exchanged
        || (::fstatat(parent.get(), hidden.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == ::geteuid()
            && ::fstatat(parent.get(), name.c_str(), &at, AT_SYMLINK_NOFOLLOW) == 0))
        DirHandle::removeAt(parent.get(), hidden);
    return error;
}

int makeFolder(const std::string& root, const std::string& path)
{
    Fd at;
    if (const int error = makeRoot(root, at))
        return error;
    const std::vector<std::string> parts = split(path);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        int error = DirHandle::makeFolderAt(at.get(), parts[i], 0755);
        if (error && error != EEXIST)
            return error;
        Fd next;
        if ((error = DirHandle::openChild(at.get(), parts[i], next)))
            return error;
        at = std::move(next);
    }
    const int error = DirHandle::makeFolderAt(at.get(), parts.back(), 0755);
    if (error && error != EEXIST)
        return error;
    // Through the handle: a link put in its place is left alone; a file there is no folder.
    Fd folder;
    if (const int opened = DirHandle::openChild(at.get(), parts.back(), folder))
        return opened;
    return DirHandle::chmodTreeAt(at.get(), parts.back(), kOpen);
}

int openRootTree(const std::string& root)
{
    Fd top;
    if (const int error = DirHandle::openRoot(root, top))
        return error; // missing, or a link
    Fd parent;
    std::string name;
    if (const int error = openAboveRoot(root, parent, name))
        return error;
    return DirHandle::chmodTreeAt(parent.get(), name, kOpen);
}

int prepareRoot(const std::string& root)
{
    Fd top;
    if (const int error = makeRoot(root, top))
        return error;
    for (const char* category : kCategories) {
        const int error = DirHandle::makeFolderAt(top.get(), category, 0755);
        if (error && error != EEXIST)
            return error;
        Fd folder;
        if (const int opened = DirHandle::openChild(top.get(), category, folder))
            return opened;
    }
    return openRootTree(root);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "--hex") {
        args.erase(args.begin());
        for (std::size_t i = 1; i < args.size(); ++i) {
            std::string bytes;
            if (!fromHex(args[i], bytes))
                return usage("--hex: a path argument is not hexadecimal");
            args[i] = std::move(bytes);
        }
    }
    if (args.size() < 2)
        return usage("usage: loomwork-admin [--hex] remove|replace|mkdir|prepare-root|permit ROOT [PATH] [SOURCE] [HIDDEN]");
    const std::string operation = args[0];
    const std::string root = args[1];
    if (!isPlainRoot(root))
        return usage("the library root must be an absolute path without \"\", \".\" or \"..\" parts");
    const auto needsPath = [&](std::size_t count) { return args.size() == 2 + count; };

    if (operation == "prepare-root" || operation == "permit") {
        if (!needsPath(0))
            return usage("prepare-root and permit take the library root only");
        const int error = operation == "permit" ? openRootTree(root) : prepareRoot(root);
        return error ? failure(operation + " " + root, error) : 0;
    }
    const bool replace = operation == "replace";
    const bool remove = operation == "remove";
    if (!remove && operation != "mkdir" && !replace)
        return usage("unknown operation");
    if (!needsPath(replace ? 3 : remove ? 2 : 1))
        return usage("wrong number of arguments");
    const std::string path = args[2];
    if (!isPlainPath(path))
        return usage("the path inside the library must be relative, without \"\", \".\" or \"..\" parts");
    const std::string hidden = replace || remove ? args.back() : std::string();
    if ((replace || remove) && !(DirHandle::isPlainName(hidden) && SafeFS::isHiddenForm(hidden)))
        return usage("the hidden name must be one name of the application's hidden form");
    int error = 0;
    if (replace) {
        const std::string source = args[3];
        if (source.empty() || source.front() != '/')
            return usage("the source must be an absolute path");
        error = replaceItem(root, path, source, hidden);
    } else if (remove) {
        error = removeItem(root, path, hidden);
    } else {
        error = makeFolder(root, path);
    }
    return error ? failure(operation + " " + root + "/" + path, error) : 0;
}
