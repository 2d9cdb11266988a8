#include "account/AccountText.h"

#include <QTextBoundaryFinder>

#include "engine/core/EngineText.h"

namespace {

constexpr int kIdLength = 14;

} // namespace

int AccountText::length(const QString& text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

QString AccountText::prefix(const QString& text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            break;
        end = next;
    }
    return text.left(end);
}

QString AccountText::displayName(const LoginService::Phase& phase)
{
    if (!phase.isLoggedIn())
        return QStringLiteral("未登录");
    const QString name = phase.member.nickName.value_or(QString()).trimmed();
    return name.isEmpty() ? QStringLiteral("用户中心") : name;
}

QString AccountText::idLine(const QString& memberKey)
{
    return QStringLiteral("ID：") + prefix(memberKey, kIdLength) + QStringLiteral("…");
}

std::optional<QString> AccountText::expiryLine(const std::optional<QDateTime>& expireAt)
{
    if (!expireAt)
        return std::nullopt;
    return QStringLiteral("登录有效期至 ") + EngineText::dateTimeText(*expireAt);
}
