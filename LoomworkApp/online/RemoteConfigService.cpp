#include "online/RemoteConfigService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTimer>

#include "online/ServerConfig.h"
#include "online/HttpFetch.h"
#include "engine/model/AppSettings.h"
#include "online/AppVersion.h"
#include "online/OnlineText.h"

namespace {

std::optional<QJsonObject> jsonObject(const std::optional<QByteArray>& body)
{
    if (!body)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(*body);
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace

RemoteConfigService::RemoteConfigService(QObject* parent) : QObject(parent) {}

QString RemoteConfigService::snoozedVersion() const
{
    return AppSettings::value(QLatin1String(kSnoozedVersionKey)).toString();
}

QString RemoteConfigService::dismissedNoticeId() const
{
    return AppSettings::value(QLatin1String(kDismissedNoticeKey)).toString();
}

void RemoteConfigService::load()
{
    reload(false);
}

void RemoteConfigService::reload(bool force, Done done)
{
    const quint64 generation = ++m_generation;
    if (done)
        m_waiting.append(std::move(done));
    tryDocument(generation, force, 0);
}

void RemoteConfigService::tryDocument(quint64 generation, bool force, int attempt)
{
    fetch(QStringLiteral("v2/config.json"),
          [this, generation, force, attempt](const std::optional<QByteArray>& body) {
              if (generation != m_generation)
                  return;
              if (body) {
                  if (const auto config = RemoteConfig::decode(*body)) {
                      finish(generation, *config, force, true);
                      return;
                  }
              }
              if (attempt + 1 < 3) {
                  // Precise: a coarse timer may end a wait up to 5 % early.
                  QTimer::singleShot(m_timing.retryWaitsMs.at(size_t(attempt)), Qt::PreciseTimer, this,
                                     [this, generation, force, attempt] {
                                         if (generation == m_generation)
                                             tryDocument(generation, force, attempt + 1);
                                     });
                  return;
              }
              readFallbacks(generation, force);
          });
}

void RemoteConfigService::readFallbacks(quint64 generation, bool force)
{
    fetch(QStringLiteral("ad.json"), [this, generation, force](const std::optional<QByteArray>& ad) {
        if (generation != m_generation)
            return;
        RemoteConfig config;
        if (const auto object = jsonObject(ad)) {
            const QJsonValue show = object->value(QLatin1String("adShow"));
            if (show.isBool())
                config.adShow = show.toBool();
            else if (show.isDouble() && (show.toDouble() == 0 || show.toDouble() == 1))
                config.adShow = show.toDouble() == 1;
            const QJsonValue url = object->value(QLatin1String("adUrl"));
            if (url.isString())
                config.adUrl = url.toString();
        }
        fetch(QStringLiteral("app.json"),
              [this, generation, force, config](const std::optional<QByteArray>& app) mutable {
                  if (generation != m_generation)
                      return;
                  if (const auto object = jsonObject(app)) {
                      const QJsonValue qrcode = object->value(QLatin1String("qrcodeUrl"));
                      if (qrcode.isString())
                          config.qrcodeUrl = qrcode.toString();
                  }
                  finish(generation, config, force, false);
              });
    });
}

void RemoteConfigService::finish(quint64 generation, const RemoteConfig& config, bool force,
                                 bool fromDocument)
{
    if (generation != m_generation)
        return;
    const bool changed = !(config == m_config);
    m_config = config;
    if (changed)
        emit configChanged();
    evaluate(config, force, fromDocument);
    const QList<Done> waiting = std::exchange(m_waiting, {});
    for (const Done& done : waiting)
        done(fromDocument);
}

void RemoteConfigService::fetch(const QString& path,
                                std::function<void(const std::optional<QByteArray>&)> done)
{
    const QUrl url = ServerConfig::baseURL().resolved(QUrl(path));
    if (!url.isValid()) {
        HttpFetch::fail(this, std::move(done));
        return;
    }
    HttpFetch::get(QNetworkRequest(url), RemoteConfig::kMaxBytes, m_timing.requestTimeoutMs, this,
                   [done = std::move(done)](const HttpFetch::Response& response) {
                       // An error status is a failed try, whatever its body says.
                       const bool success = response.status >= 200 && response.status < 300;
                       done(success ? response.body : std::nullopt);
                   });
}

void RemoteConfigService::evaluate(const RemoteConfig& config, bool force, bool fromDocument)
{
    const QString current = AppVersion::current();
    const QString minVersion = OnlineText::trimmed(config.minVersion.value_or(QString()));
    const bool mustUpdate = !minVersion.isEmpty() && AppVersion::isNewer(minVersion, current);
    const QString snoozed = OnlineText::trimmed(snoozedVersion());
    const std::optional<QString> latest = config.latestVersionText();

    if (latest && AppVersion::isNewer(*latest, current)) {
        if (!force && !mustUpdate && *latest == snoozed)
            setUpdate(std::nullopt);
        else
            setUpdate(UpdateAlert{*latest, config.changelogLines(), config.updateLink(),
                                  mustUpdate || config.forceUpdate == true});
    } else if (mustUpdate) {
        setUpdate(UpdateAlert{*config.minVersion, config.changelogLines(), config.updateLink(), true});
    } else {
        // A fallback document knows nothing of versions: it must not forget the user's choice.
        if (fromDocument && !snoozed.isEmpty())
            AppSettings::setValue(QLatin1String(kSnoozedVersionKey), QString());
        setUpdate(std::nullopt);
    }

    const std::optional<QString> text = config.noticeText();
    const std::optional<QString> id = OnlineText::nonEmptyTrimmed(config.noticeId);
    const QString key = id ? *id : text.value_or(QString());
    setShowNotice(text.has_value() && key != dismissedNoticeId());
}

void RemoteConfigService::snooze(const std::optional<QString>& version)
{
    if (const auto trimmed = OnlineText::nonEmptyTrimmed(version))
        AppSettings::setValue(QLatin1String(kSnoozedVersionKey), *trimmed);
    setUpdate(std::nullopt);
}

void RemoteConfigService::clearUpdate()
{
    setUpdate(std::nullopt);
}

void RemoteConfigService::dismissNotice()
{
    QString key;
    if (const auto id = OnlineText::nonEmptyTrimmed(m_config.noticeId))
        key = *id;
    else
        key = m_config.noticeText().value_or(QString());
    AppSettings::setValue(QLatin1String(kDismissedNoticeKey), key);
    setShowNotice(false);
}

void RemoteConfigService::setUpdate(const std::optional<UpdateAlert>& update)
{
    if (update == m_update)
        return;
    m_update = update;
    emit updateChanged();
}

void RemoteConfigService::setShowNotice(bool show)
{
    if (show == m_showNotice)
        return;
    m_showNotice = show;
    emit showNoticeChanged();
}
