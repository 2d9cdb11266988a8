#include "engine/model/Plugin.h"

#include <cstdlib>

#include <QDir>

#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"

namespace {

const QString kSystemLibrary = QStringLiteral("/Library/Application Support/Final Cut Pro/Templates.localized");

} // namespace

std::optional<PluginRoot> PluginRoot::from(const QString& raw)
{
    if (raw == QLatin1String("user"))
        return PluginRoot(user);
    if (raw == QLatin1String("system"))
        return PluginRoot(system);
    return std::nullopt;
}

const std::array<PluginRoot, 2>& PluginRoot::allCases()
{
    static const std::array<PluginRoot, 2> cases{PluginRoot(user), PluginRoot(system)};
    return cases;
}

QString PluginRoot::rawValue() const
{
    return m_value == user ? QStringLiteral("user") : QStringLiteral("system");
}

QString PluginRoot::title() const
{
    return m_value == user ? QStringLiteral("用户库") : QStringLiteral("系统库");
}

// The system library's texts follow path(): a moved library is named where installs go.
QString PluginRoot::subtitle() const
{
    return m_value == user ? QStringLiteral("~/Movies/Motion Templates.localized") : path();
}

QString PluginRoot::shortPath() const
{
    if (m_value == user)
        return QStringLiteral("~/Movies/…");
    const QString full = path();
    const QStringList parts = full.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() <= 1)
        return full;
    return (full.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString()) + parts.first() + QStringLiteral("/…");
}

QString PluginRoot::path() const
{
    if (m_value == user)
        return QDir::cleanPath(QDir::homePath() + QStringLiteral("/Movies/Motion Templates.localized"));
    const char* overridden = std::getenv("LOOMWORK_SYSTEM_LIBRARY");
    if (overridden && *overridden)
        return QDir::cleanPath(FsPath::decode(overridden));
    return kSystemLibrary;
}

QString Plugin::id() const
{
    return root.rawValue() + QLatin1Char('|') + EngineText::rawValue(type) + QLatin1Char('|') + path;
}

QString Plugin::sizeText() const
{
    return EngineText::byteCountText(sizeBytes);
}

QString Plugin::modifiedText() const
{
    if (!modifiedAt)
        return QStringLiteral("—");
    return modifiedAt->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

std::optional<QString> Plugin::motionText() const
{
    if (!motionVersion)
        return std::nullopt;
    return QStringLiteral("Motion ") + *motionVersion;
}

bool Plugin::operator==(const Plugin& other) const
{
    return name == other.name && type == other.type && root == other.root && path == other.path
        && sizeBytes == other.sizeBytes && modifiedAt == other.modifiedAt
        && ozmlVersion == other.ozmlVersion && motionVersion == other.motionVersion
        && templateFileCount == other.templateFileCount && isMarket == other.isMarket
        && identity.device == other.identity.device && identity.inode == other.identity.inode
        && identity.born == other.identity.born;
}

size_t qHash(const Plugin& p, size_t seed) noexcept
{
    QtPrivate::QHashCombine combine;
    seed = combine(seed, p.name);
    seed = combine(seed, EngineText::rawValue(p.type));
    seed = combine(seed, p.root.rawValue());
    seed = combine(seed, p.path);
    seed = combine(seed, p.sizeBytes);
    seed = combine(seed, p.modifiedAt.has_value());
    if (p.modifiedAt)
        seed = combine(seed, p.modifiedAt->toMSecsSinceEpoch());
    seed = combine(seed, p.ozmlVersion.has_value());
    if (p.ozmlVersion)
        seed = combine(seed, *p.ozmlVersion);
    seed = combine(seed, p.motionVersion.has_value());
    if (p.motionVersion)
        seed = combine(seed, *p.motionVersion);
    seed = combine(seed, p.templateFileCount);
    seed = combine(seed, p.isMarket);
    return seed;
}
