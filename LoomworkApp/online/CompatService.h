#pragma once

#include <optional>

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include "engine/templates/CompatTable.h"

// The compatibility table in use and the installed Final Cut Pro version; labels plug-ins
// with the release they need. Starts from the built-in table, takes the cached server
// table, and a fresh one on load(). Lives on the GUI thread.
class CompatService : public QObject
{
    Q_OBJECT
public:
    enum class Source { bundled, cache, remote };

    // The server's compatibility document (and the cache file's content).
    struct RemotePayload
    {
        std::optional<QString> updatedAt;
        std::optional<QList<CompatRow>> rows;
        std::optional<QHash<QString, QString>> glossary; // extra glossary terms

        // Every key optional (null counts as absent); a present key of the wrong shape
        // fails the whole document.
        static std::optional<RemotePayload> fromJson(const QJsonObject& object);
        // Compact JSON text, in time linear in the glossary's size.
        QByteArray toJsonBytes() const;
    };

    struct Options
    {
        QString cachePath;          // empty: compat-cache.json in the application folder
        QStringList finalCutBundles; // empty: the two Final Cut Pro application bundles
        int fetchTimeoutMs = 10000;
    };

    explicit CompatService(QObject* parent = nullptr);
    CompatService(Options options, QObject* parent = nullptr);

    const CompatTable& table() const { return m_table; }
    const std::optional<QString>& updatedAt() const { return m_updatedAt; }
    Source source() const { return m_source; }
    const std::optional<QString>& installedFCP() const { return m_installedFCP; }

    // Fetches "v2/compat.json" from the server and applies it when it has rows, after
    // caching it. Of overlapping loads the newest wins.
    void load();

    bool needsUpgrade(const std::optional<QString>& ozml, const std::optional<QString>& dv) const;
    QString compatibilityText(const std::optional<QString>& ozml, const std::optional<QString>& dv) const;
    // For any plug-in type with `ozmlVersion` and `motionVersion` (the display version).
    template <typename P>
    bool needsUpgrade(const P& plugin) const
    {
        return needsUpgrade(plugin.ozmlVersion, plugin.motionVersion);
    }
    template <typename P>
    QString compatibilityText(const P& plugin) const
    {
        return compatibilityText(plugin.ozmlVersion, plugin.motionVersion);
    }

    static QStringList defaultFinalCutBundles();
    // CFBundleShortVersionString of the first bundle whose Contents/Info.plist (XML) has it.
    static std::optional<QString> detectFinalCutVersion(const QStringList& bundles);

signals:
    // table, updatedAt and source changed together.
    void tableChanged();
    // A load() ended, whether or not it changed anything.
    void loadFinished();

private:
    void apply(const RemotePayload& payload, Source source);

    Options m_options;
    CompatTable m_table;
    std::optional<QString> m_updatedAt;
    Source m_source = Source::bundled;
    std::optional<QString> m_installedFCP;
    quint64 m_loadGeneration = 0;
    // Decodes fetched documents and writes the cache, one at a time, off the GUI thread.
    QThreadPool m_worker;
};
