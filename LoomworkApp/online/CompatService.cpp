#include "online/CompatService.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QPointer>
#include <QXmlStreamReader>

#include "engine/core/AppPaths.h"
#include "engine/core/AtomicFile.h"
#include "engine/templates/CompatBundled.h"
#include "engine/core/JsonRead.h"
#include "engine/templates/LocalizationGlossary.h"
#include "engine/templates/VersionNum.h"
#include "online/HttpFetch.h"
#include "online/ServerConfig.h"

namespace {

// The cache holds what the fetch accepted, so it reads back as much; an Info.plist is far
// smaller.
constexpr qint64 maxFileBytes = HttpFetch::maxReplyBytes;

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

void appendJsonString(QByteArray& out, const QString& text)
{
    out += '"';
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += "0123456789abcdef"[byte >> 4];
            out += "0123456789abcdef"[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
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

QByteArray CompatService::RemotePayload::toJsonBytes() const
{
    QJsonObject head;
    if (updatedAt)
        head.insert(QLatin1String("updatedAt"), *updatedAt);
    if (rows) {
        QJsonArray array;
        for (const auto& row : *rows)
            array.append(row.toJson());
        head.insert(QLatin1String("rows"), array);
    }
    QByteArray out = QJsonDocument(head).toJson(QJsonDocument::Compact);
    if (!glossary)
        return out;
    // Term by term into a QJsonObject would take quadratic time: the glossary is written
    // as text.
    out.chop(1);
    if (out.size() > 1)
        out += ',';
    out += "\"glossary\":{";
    bool first = true;
    for (auto it = glossary->cbegin(); it != glossary->cend(); ++it) {
        if (!first)
            out += ',';
        first = false;
        appendJsonString(out, it.key());
        out += ':';
        appendJsonString(out, it.value());
    }
    out += "}}";
    return out;
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
    m_worker.setMaxThreadCount(1);
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

void CompatService::load()
{
    const quint64 generation = ++m_loadGeneration;
    const QUrl url = ServerConfig::baseURL().resolved(QUrl(QStringLiteral("v2/compat.json")));
    const auto done = [this, generation](const std::optional<QByteArray>& bytes) {
        if (generation != m_loadGeneration)
            return;
        if (!bytes) {
            emit loadFinished();
            return;
        }
        // A large document takes long to decode and store: both run on the worker, which
        // hands the table back to this thread once it is cached.
        QPointer<CompatService> self(this);
        m_worker.start([self, bytes = *bytes, cachePath = m_options.cachePath, generation] {
            auto payload = decodePayload(bytes);
            if (payload && payload->rows && !payload->rows->isEmpty()) {
                const QByteArray cache = payload->toJsonBytes();
                if (cache.size() <= maxFileBytes) {
                    QDir().mkpath(QFileInfo(cachePath).absolutePath());
                    // Only a cache: the table in hand is used either way, and a start without
                    // it fetches the table again.
                    (void)AtomicFile::write(cachePath, cache);
                }
            } else {
                payload.reset();
            }
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, payload = std::move(payload), generation] {
                    if (!self || generation != self->m_loadGeneration)
                        return;
                    if (payload)
                        self->apply(*payload, Source::remote);
                    emit self->loadFinished();
                },
                Qt::QueuedConnection);
        });
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
