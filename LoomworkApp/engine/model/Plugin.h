#pragma once

#include <array>
#include <optional>

#include <QDateTime>
#include <QHashFunctions>
#include <QMetaType>
#include <QString>

#include <SafeFS/Identity.h>
#include "LoomworkKit/ZFCPluginType.h"

// One of the two template libraries Final Cut Pro reads plug-ins from.
class PluginRoot
{
public:
    enum Value {
        user,
        system
    };

    constexpr PluginRoot(Value value = user) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // Exactly "user" or "system" (case-sensitive).
    static std::optional<PluginRoot> from(const QString& raw);
    // user, system: every place that walks both libraries walks them in this order.
    static const std::array<PluginRoot, 2>& allCases();

    QString rawValue() const;
    QString id() const { return rawValue(); }
    QString title() const;
    QString subtitle() const;
    QString shortPath() const;
    // Absolute folder path, no trailing slash, worked out on every call: the user library
    // follows $HOME, the system library may be moved by LOOMWORK_SYSTEM_LIBRARY.
    QString path() const;
    bool requiresAdmin() const { return m_value == system; }

private:
    Value m_value;
};

inline size_t qHash(PluginRoot root, size_t seed = 0) noexcept
{
    return qHash(static_cast<int>(PluginRoot::Value(root)), seed);
}

// A snapshot of one installed plug-in as the scanner found it.
struct Plugin
{
    QString name;
    ZFCPluginType type{ZFCPluginType::effect};
    PluginRoot root{PluginRoot::user};
    QString path; // absolute folder path, no trailing slash
    qint64 sizeBytes = 0;
    std::optional<QDateTime> modifiedAt;
    std::optional<QString> ozmlVersion;
    std::optional<QString> motionVersion;
    int templateFileCount = 0;
    bool isMarket = false;
    // The folder (or link) the scan saw at `path`: every step that changes or removes the
    // plug-in acts on this item only, whatever another user may have put at the name since.
    // Unknown (0, 0) for a plug-in not made by a scan.
    SafeFS::Identity identity;

    // root|type|path; only ever compared, never split.
    QString id() const;
    QString sizeText() const;
    QString modifiedText() const;
    std::optional<QString> motionText() const;

    bool operator==(const Plugin& other) const;
};

size_t qHash(const Plugin& plugin, size_t seed = 0) noexcept;

Q_DECLARE_METATYPE(Plugin)
Q_DECLARE_METATYPE(PluginRoot)
