#include "account/NicknameModel.h"

#include "online/LoginService.h"
#include "account/AccountText.h"

namespace {

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

} // namespace

NicknameModel::NicknameModel(LoginService* login, QObject* parent)
    : QObject(parent)
    , m_login(login)
{
    if (m_login && m_login->phase().isLoggedIn()) {
        m_memberKey = m_login->phase().member.memberKey;
        // Taken whole, even when longer than 16: it is cut only once edited.
        m_text = m_login->phase().member.nickName.value_or(QString());
    }
    if (m_login)
        connect(m_login, &LoginService::phaseChanged, this, &NicknameModel::onPhaseChanged);
}

void NicknameModel::setText(const QString& text)
{
    const QString next = AccountText::length(text) > maxLength ? AccountText::prefix(text, maxLength) : text;
    const bool hadError = m_error.has_value();
    m_error.reset();
    if (next == m_text && !hadError)
        return;
    m_text = next;
    emit changed();
}

QString NicknameModel::previewName() const
{
    const QString trimmed = m_text.trimmed();
    return trimmed.isEmpty() ? QString::fromUtf8(defaultName) : trimmed;
}

std::optional<QString> NicknameModel::previewAvatarName() const
{
    const QString name = previewName();
    if (name == QString::fromUtf8(defaultName))
        return std::nullopt;
    return name;
}

QString NicknameModel::initialLine() const
{
    qsizetype first = 0;
    qsizetype last = m_text.size();
    while (first < last && isBlank(m_text[first]))
        ++first;
    while (last > first && isBlank(m_text[last - 1]))
        --last;
    if (first == last)
        return QStringLiteral("默认显示「用户中心」");
    return QStringLiteral("头像：") + AccountText::prefix(previewName(), 1);
}

QString NicknameModel::counterText() const
{
    return QStringLiteral("%1/%2").arg(AccountText::length(m_text)).arg(maxLength);
}

QString NicknameModel::saveButtonText() const
{
    return m_saving ? QStringLiteral("保存中…") : QStringLiteral("保存");
}

QString NicknameModel::currentNickname() const
{
    if (!m_login || !m_login->phase().isLoggedIn())
        return QString();
    return m_login->phase().member.nickName.value_or(QString());
}

bool NicknameModel::canPressSave() const
{
    return !m_saving && m_text.trimmed() != currentNickname();
}

void NicknameModel::save()
{
    if (m_saving || m_closed || !m_login)
        return;
    m_saving = true;
    m_error.reset();
    emit changed();
    const quint64 generation = ++m_generation;
    m_login->updateNickname(m_text.trimmed(), this, [this, generation](const std::optional<QString>& error) {
        finish(generation, error);
    });
}

void NicknameModel::finish(quint64 generation, const std::optional<QString>& error)
{
    if (m_closed || generation != m_generation)
        return;
    m_saving = false;
    if (error) {
        m_error = error;
        emit changed();
        return;
    }
    emit changed();
    close();
    emit closeRequested();
}

void NicknameModel::close()
{
    m_closed = true;
    ++m_generation;
}

void NicknameModel::onPhaseChanged()
{
    if (m_closed)
        return;
    const bool same = m_login && m_login->phase().isLoggedIn()
                      && m_login->phase().member.memberKey == m_memberKey;
    if (same) {
        // A new name published by the service moves the save button's reference.
        emit changed();
        return;
    }
    close();
    emit closeRequested();
}
