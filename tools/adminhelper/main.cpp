// loomwork-admin OPERATION ROOT [PATH] [SOURCE]
//
// Run as root by Loomwork for the system library at ROOT (absolute, links above it already
// resolved), PATH being the item inside it ("Effects.localized/Glow"):
//   remove ROOT PATH           removes the item
//   replace ROOT PATH SOURCE   removes the item and puts a copy of SOURCE in its place
//   mkdir ROOT PATH            creates the folder and what is missing above it, then opens
//                              the folder's tree to everyone
//   prepare-root ROOT          creates ROOT and its four category folders, then opens ROOT's
//                              tree to everyone
//   permit ROOT                opens ROOT's tree to everyone
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
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>

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

int removeItem(const std::string& root, const std::string& path)
{
    Fd parent;
    std::string name;
    if (const int error = openParent(root, path, parent, name))
        return error;
    return DirHandle::removeAt(parent.get(), name);
}

// A hidden name beside the item in the application's own staging form
// (".<label>.loomwork-restoring-<16 hex>"), so that what a killed run leaves there is removed
// by the application's recovery. A label too long for that form is replaced: only the form counts.
std::string stagingName(const std::string& name)
{
    unsigned char random[8] = {};
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n > 0)
            got += std::size_t(n);
        else if (errno != EINTR)
            break;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%02x%02x%02x%02x%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3], random[4], random[5], random[6], random[7]);
    constexpr std::string_view mark = ".loomwork-restoring-";
    const std::string label = name.size() + 1 + mark.size() + 16 <= 255 ? name : std::string("plugin");
    return "." + label + std::string(mark) + digits;
}

// The copy is made beside the item first, then exchanged with it: a copy that fails (a full
// disk) leaves the old item as it was.
int replaceItem(const std::string& root, const std::string& path, const std::string& source)
{
    Fd parent;
    std::string name;
    if (const int error = openParent(root, path, parent, name))
        return error;
    const std::string staging = stagingName(name);
    int error = DirHandle::copyInto(source, parent.get(), staging);
    if (!error) {
        error = DirHandle::renameAt(parent.get(), staging, parent.get(), name, DirHandle::Rename::exchange);
        if (error == ENOENT) {
            error = DirHandle::renameAt(parent.get(), staging, parent.get(), name, DirHandle::Rename::noReplace);
        } else if (error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP) {
            // No exchange on this file system: the old item goes only once the copy is whole.
            error = DirHandle::removeAt(parent.get(), name);
            if (!error)
                error = DirHandle::renameAt(parent.get(), staging, parent.get(), name, DirHandle::Rename::noReplace);
        }
    }
    // After an exchange the hidden name holds the old item; after a failure, the partial copy.
    // What cannot go now goes with the application's next recovery.
    DirHandle::removeAt(parent.get(), staging);
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
        return usage("usage: loomwork-admin [--hex] remove|replace|mkdir|prepare-root|permit ROOT [PATH] [SOURCE]");
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
    if (operation != "remove" && operation != "mkdir" && !replace)
        return usage("unknown operation");
    if (!needsPath(replace ? 2 : 1))
        return usage("wrong number of arguments");
    const std::string path = args[2];
    if (!isPlainPath(path))
        return usage("the path inside the library must be relative, without \"\", \".\" or \"..\" parts");
    int error = 0;
    if (replace) {
        const std::string source = args[3];
        if (source.empty() || source.front() != '/')
            return usage("the source must be an absolute path");
        error = replaceItem(root, path, source);
    } else if (operation == "remove") {
        error = removeItem(root, path);
    } else {
        error = makeFolder(root, path);
    }
    return error ? failure(operation + " " + root + "/" + path, error) : 0;
}
