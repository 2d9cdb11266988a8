#include "engine/PluginFolderSwap.h"

#include <cerrno>
#include <filesystem>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringList>

#include "engine/FsPath.h"

namespace {

constexpr qsizetype kMaxFileNameBytes = 255;

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
    const QString suffix = QStringLiteral(".loomwork-") + purpose + QLatin1Char('-')
                         + QString::number(QRandomGenerator::global()->generate64(), 16);
    QString name = QLatin1Char('.') + label + suffix;
    if (FsPath::encode(name).size() > kMaxFileNameBytes)
        name = QLatin1Char('.')
             + QString::fromLatin1(QCryptographicHash::hash(FsPath::encode(label), QCryptographicHash::Md5).toHex())
             + suffix;
    return folder + QLatin1Char('/') + name;
}

void PluginFolderSwap::clearLeftovers(const QString& label)
{
    if (label.isEmpty())
        return;
    const std::string prefix = FsPath::toBytes(QLatin1Char('.') + label + QStringLiteral(".loomwork-"));
    QStringList found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(FsPath::toNative(m_folder), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().native().starts_with(prefix))
            found.append(FsPath::fromNative(it->path()));
    }
    for (const QString& path : found) {
        if (path != m_staging)
            m_files.removeTree(path);
    }
}

int PluginFolderSwap::makeStaging(const QString& purpose, const QString& label, QString* staging)
{
    if (!FileOps::exists(m_folder)) {
        if (const int error = m_files.makePath(m_folder))
            return error;
    }
    clearLeftovers(label);
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
    clearLeftovers(name);
    const bool hadTarget = FileOps::exists(target);
    if (hadTarget) {
        m_replaced = hiddenSibling(m_folder, name, QStringLiteral("replaced"));
        if (const int error = m_files.rename(target, m_replaced)) {
            m_replaced.clear();
            return error;
        }
    }
    if (const int error = m_files.rename(staged, target)) {
        // Should even the way back fail, the old plug-in stays in its hidden copy: never removed.
        if (hadTarget)
            m_files.rename(m_replaced, target);
        m_replaced.clear();
        return error;
    }
    if (hadTarget && m_files.removeTree(m_replaced) != 0)
        m_leftover = m_replaced;
    m_replaced.clear();
    return 0;
}
