#include "engine/PluginFolderSwap.h"

#include <cerrno>
#include <filesystem>
#include <vector>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include "LoomworkKit/ZFCLeftovers.h"
#include "LoomworkKit/ZFCPluginType.h"
#include "engine/EngineText.h"
#include "engine/FsPath.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

constexpr qsizetype kMaxFileNameBytes = 255;
constexpr char kMark[] = ".loomwork-";
constexpr qsizetype kRandomDigits = 16;

const Clock::time_point g_startedAt = Clock::now();

// The label as a hidden name holds it: hashed when ".<label>.loomwork-<purpose>-<random>"
// would not fit a file name.
QString hiddenLabel(const QString& label, const QString& purpose)
{
    const qsizetype fixed = 1 + qsizetype(sizeof kMark - 1) + purpose.size() + 1 + kRandomDigits;
    if (FsPath::encode(label).size() + fixed <= kMaxFileNameBytes)
        return label;
    return QString::fromLatin1(QCryptographicHash::hash(FsPath::encode(label), QCryptographicHash::Md5).toHex());
}

} // namespace

PluginFolderSwap::PluginFolderSwap(const QString& folder, FileOps& files) : m_files(files), m_folder(folder) {}

PluginFolderSwap::~PluginFolderSwap()
{
    if (!m_staging.isEmpty())
        m_files.removeTree(m_staging);
    if (!m_replaced.isEmpty() && m_leftover.isEmpty())
        m_files.removeTree(m_replaced);
}

QString PluginFolderSwap::hiddenSibling(const QString& folder, const QString& label, const QString& purpose)
{
    const QString random =
        QStringLiteral("%1").arg(QRandomGenerator::global()->generate64(), kRandomDigits, 16, QLatin1Char('0'));
    return folder + QStringLiteral("/.") + hiddenLabel(label, purpose) + QLatin1String(kMark) + purpose
         + QLatin1Char('-') + random;
}

Clock::time_point PluginFolderSwap::startedAt()
{
    return g_startedAt;
}

void PluginFolderSwap::recover(const QString& folder, Clock::time_point olderThan, FileOps& files)
{
    static const QRegularExpression tail(QStringLiteral("^([a-z]+)(-[0-9a-f]+)?$"));
    const QString replaced = QStringLiteral("replaced");
    std::vector<fs::path> hidden;
    QSet<QString> present; // each plug-in's name, and the label its replaced copy would carry
    std::error_code ec;
    for (fs::directory_iterator it(FsPath::toNative(folder), ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path file = it->path().filename();
        const std::string& name = file.native();
        if (name[0] != '.') {
            const QString plugin = FsPath::fromNative(file);
            present.insert(plugin);
            present.insert(hiddenLabel(plugin, replaced));
        } else if (name.find(kMark) != std::string::npos) {
            hidden.push_back(it->path());
        }
    }
    for (const fs::path& path : hidden) {
        // ".<label>.loomwork-<purpose>-<random>" (earlier versions: no random part); the label
        // may hold the mark itself.
        const QString name = FsPath::fromNative(path.filename());
        const qsizetype mark = name.lastIndexOf(QLatin1String(kMark));
        const QRegularExpressionMatch match = tail.match(name.mid(mark + qsizetype(sizeof kMark - 1)));
        if (mark < 1 || !match.hasMatch() || !ZFCLeftovers::changedBefore(path, olderThan))
            continue;
        const QString purpose = match.captured(1);
        const QString label = name.mid(1, mark - 1);
        if (purpose == replaced && !present.contains(label)) {
            // The plug-in is gone, this may be its only copy: never delete it, give it back its
            // name (a hashed one when the name was too long to keep).
            if (!label.isEmpty() && files.rename(FsPath::fromNative(path), folder + QLatin1Char('/') + label) == 0)
                present.insert(label);
            continue;
        }
        files.removeTree(FsPath::fromNative(path));
    }
}

void PluginFolderSwap::recoverLibrary(const QString& library)
{
    for (const ZFCPluginType type : ZFCPluginType::allCases())
        recover(library + QLatin1Char('/') + EngineText::directoryName(type));
}

int PluginFolderSwap::makeStaging(const QString& purpose, const QString& label, QString* staging)
{
    if (!FileOps::exists(m_folder)) {
        if (const int error = m_files.makePath(m_folder))
            return error;
    }
    recover(m_folder, startedAt(), m_files);
    QString path;
    int error = EEXIST;
    for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
        path = hiddenSibling(m_folder, label, purpose);
        error = m_files.makeFolder(path);
    }
    if (error)
        return error;
    m_staging = path;
    *staging = path;
    return 0;
}

int PluginFolderSwap::commit(const QString& staged, const QString& name)
{
    const QString target = m_folder + QLatin1Char('/') + name;
    if (!FileOps::exists(target))
        return m_files.rename(staged, target);
    // The swap stays within `folder`: moving a folder to another parent needs write rights on
    // it (its ".." changes), which an old plug-in of the system library may not give us.
    const QString incoming = hiddenSibling(m_folder, name, QStringLiteral("incoming"));
    if (const int error = m_files.rename(staged, incoming))
        return error;
    int error = m_files.exchange(incoming, target);
    if (error == 0) {
        m_replaced = incoming; // the old item, now
    } else if (FileOps::refusesExchange(error)) {
        // Two renames leave a moment without the name: a kill there leaves the old plug-in
        // hidden, and recover() puts it back.
        m_replaced = hiddenSibling(m_folder, name, QStringLiteral("replaced"));
        error = m_files.rename(target, m_replaced);
        if (error == 0 && (error = m_files.rename(incoming, target)) != 0)
            m_files.rename(m_replaced, target); // should this fail, the hidden copy is never removed
        if (error)
            m_replaced.clear();
    }
    if (error) {
        m_files.removeTree(incoming);
        return error;
    }
    if (m_files.removeTree(m_replaced) != 0)
        m_leftover = m_replaced;
    m_replaced.clear();
    return 0;
}
