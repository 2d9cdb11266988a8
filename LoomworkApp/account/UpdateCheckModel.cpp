#include "account/UpdateCheckModel.h"

#include <QPointer>

#include "online/AppVersion.h"
#include "online/RemoteConfigService.h"

UpdateCheckModel::UpdateCheckModel(QObject* parent)
    : QObject(parent)
    , m_remote(new RemoteConfigService(this))
{
}

QString UpdateCheckModel::upToDateText()
{
    return QStringLiteral("已是最新版本（") + AppVersion::display() + QStringLiteral("）");
}

void UpdateCheckModel::check()
{
    if (m_checking)
        return;
    m_checking = true;
    emit checkingChanged(true);
    setHint(QString::fromUtf8(checkingText));
    QPointer<UpdateCheckModel> guard(this);
    m_remote->reload(true, [guard](bool fetched) {
        if (!guard)
            return;
        guard->m_checking = false;
        emit guard->checkingChanged(false);
        if (const auto& alert = guard->m_remote->update()) {
            guard->setHint(std::nullopt);
            emit guard->updateOffered(*alert);
        } else {
            guard->setHint(fetched ? upToDateText() : QString::fromUtf8(failedText));
        }
    });
}

void UpdateCheckModel::setHint(const std::optional<QString>& hint)
{
    if (m_hint == hint)
        return;
    m_hint = hint;
    emit hintChanged();
}
