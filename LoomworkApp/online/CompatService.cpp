#include "online/CompatService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QXmlStreamReader>

#include "engine/AppPaths.h"
#include "engine/AtomicFile.h"
#include "engine/CompatBundled.h"
#include "engine/JsonRead.h"
#include "engine/LocalizationGlossary.h"
#include "engine/VersionNum.h"
#include "online/HttpFetch.h"
#include "online/ServerConfig.h"

namespace {

// Neither a cache file nor an Info.plist comes anywhere near this.
constexpr qint64 maxFileBytes = 4 * 1024 * 1024;

std::optional<QByteArray> readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxFileBytes)
        return std::nullopt;
    QByteArray bytes = file.read(maxFileBytes + 1);
    if (bytes.size() > maxFileBytes)
        return std::nullopt;
    return bytes;
}

std::optional<CompatService::RemotePayload> decodePayload(const QByteArray& bytes)
{
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return std::nullopt;
    return CompatService::RemotePayload::fromJson(document.object());
}

// The glossary takes the extra terms of a table that is put in use.
void handOverGlossary(const QHash<QString, QString>& extra)
{
    LocalizationGlossary::merge(extra);
}

std::optional<QString> shortVersionFromPlist(const QByteArray& xml)
{
    QXmlStreamReader reader(xml);
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("plist"))
        return std::nullopt;
    if (!reader.readNextStartElement() || reader.name() != QLatin1String("dict"))
        return std::nullopt;
    while (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("key")) {
            reader.skipCurrentElement();
            continue;
        }
        const QString key = reader.readElementText();
        if (!reader.readNextStartElement())
            break;
        if (key == QLatin1String("CFBundleShortVersionString") && reader.name() == QLatin1String("string")) {
            const QString value = reader.readElementText();
            if (reader.hasError())
                return std::nullopt;
            return value;
        }
        reader.skipCurrentElement();
    }
    return std::nullopt;
}

} // namespace

std::optional<CompatService::RemotePayload> CompatService::RemotePayload::fromJson(const QJsonObject& object)
{
    const auto present = [&](const char* key) {
        const QJsonValue value = object.value(QLatin1String(key));
        return !value.isUndefined() && !value.isNull();
    };
    RemotePayload payload;
    if (!JsonRead::optionalString(object.value(QLatin1String("updatedAt")), payload.updatedAt))
        return std::nullopt;
    if (present("rows")) {
        payload.rows = CompatRow::listFromJson(object.value(QLatin1String("rows")));
        if (!payload.rows)
            return std::nullopt;
    }
    if (present("glossary")) {
        const QJsonValue value = object.value(QLatin1String("glossary"));
        if (!value.isObject())
            return std::nullopt;
        QHash<QString, QString> terms;
        const QJsonObject glossary = value.toObject();
        for (auto it = glossary.begin(); it != glossary.end(); ++it) {
            if (!it.value().isString())
                return std::nullopt;
            terms.insert(it.key(), it.value().toString());
        }
        payload.glossary = terms;
    }
    return payload;
}

QJsonObject CompatService::RemotePayload::toJson() const
{
    QJsonObject object;
    if (updatedAt)
        object.insert(QLatin1String("updatedAt"), *updatedAt);
    if (rows) {
        QJsonArray array;
        for (const auto& row : *rows)
            array.append(row.toJson());
        object.insert(QLatin1String("rows"), array);
    }
    if (glossary) {
        QJsonObject terms;
        for (auto it = glossary->cbegin(); it != glossary->cend(); ++it)
            terms.insert(it.key(), it.value());
        object.insert(QLatin1String("glossary"), terms);
    }
    return object;
}

CompatService::CompatService(QObject* parent)
    : CompatService(Options{}, parent)
{
}

CompatService::CompatService(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_table(CompatBundled::table())
    , m_updatedAt(m_table.updatedAt)
{
    if (m_options.cachePath.isEmpty())
        m_options.cachePath = AppPaths::applicationFolder() + QStringLiteral("/compat-cache.json");
    if (m_options.finalCutBundles.isEmpty())
        m_options.finalCutBundles = defaultFinalCutBundles();

    m_installedFCP = detectFinalCutVersion(m_options.finalCutBundles);
    if (const auto bytes = readSmallFile(m_options.cachePath)) {
        if (const auto payload = decodePayload(*bytes))
            apply(*payload, Source::cache);
    }
}

QStringList CompatService::defaultFinalCutBundles()
{
    return {QStringLiteral("/Applications/Final Cut Pro.app"),
            QStringLiteral("/Applications/Final Cut Pro Creator Studio.app")};
}

std::optional<QString> CompatService::detectFinalCutVersion(const QStringList& bundles)
{
    for (const QString& bundle : bundles) {
        const auto bytes = readSmallFile(bundle + QStringLiteral("/Contents/Info.plist"));
        if (!bytes)
            continue;
        if (auto version = shortVersionFromPlist(*bytes))
            return version;
    }
    return std::nullopt;
}

void CompatService::apply(const RemotePayload& payload, Source source)
{
    if (!payload.rows || payload.rows->isEmpty())
        return;
    m_table = CompatTable{payload.updatedAt, *payload.rows};
    m_updatedAt = payload.updatedAt;
    m_source = source;
    if (payload.glossary && !payload.glossary->isEmpty())
        handOverGlossary(*payload.glossary);
    emit tableChanged();
}

void CompatService::saveCache(const RemotePayload& payload) const
{
    QDir().mkpath(QFileInfo(m_options.cachePath).absolutePath());
    AtomicFile::write(m_options.cachePath,
                      QJsonDocument(payload.toJson()).toJson(QJsonDocument::Compact));
}

void CompatService::load()
{
    const quint64 generation = ++m_loadGeneration;
    const QUrl url = ServerConfig::baseURL().resolved(QUrl(QStringLiteral("v2/compat.json")));
    const auto done = [this, generation](const std::optional<QByteArray>& bytes) {
        if (generation != m_loadGeneration)
            return;
        const auto payload = bytes ? decodePayload(*bytes) : std::nullopt;
        if (payload && payload->rows && !payload->rows->isEmpty()) {
            apply(*payload, Source::remote);
            saveCache(*payload);
        }
        emit loadFinished();
    };
    if (!url.isValid() || url.isRelative()) {
        HttpFetch::fail(this, done);
        return;
    }
    HttpFetch::send(QNetworkRequest(url), std::nullopt, m_options.fetchTimeoutMs, this, done);
}

bool CompatService::needsUpgrade(const std::optional<QString>& ozml, const std::optional<QString>& dv) const
{
    const auto requirement = m_table.requirement(ozml, dv);
    if (!requirement || !m_installedFCP)
        return false;
    return VersionNum::isOlder(*m_installedFCP, requirement->fcp);
}

QString CompatService::compatibilityText(const std::optional<QString>& ozml, const std::optional<QString>& dv) const
{
    const auto requirement = m_table.requirement(ozml, dv);
    if (!requirement)
        return QStringLiteral("版本未知");
    const QString prefix = needsUpgrade(ozml, dv) ? QStringLiteral("需 FCPX ") : QStringLiteral("兼容 FCPX ");
    return prefix + requirement->fcp + QLatin1Char('+');
}
