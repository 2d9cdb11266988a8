#include "account/Member.h"

namespace {

bool optionalString(const QJsonObject& object, const char* key, std::optional<QString>& out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

} // namespace

std::optional<Member> Member::fromJson(const QJsonObject& object)
{
    const QJsonValue key = object.value(QLatin1String("memberKey"));
    if (!key.isString())
        return std::nullopt;
    Member member;
    member.memberKey = key.toString();
    if (!optionalString(object, "openId", member.openId)
        || !optionalString(object, "nickName", member.nickName)
        || !optionalString(object, "avatarUrl", member.avatarUrl))
        return std::nullopt;
    return member;
}

QJsonObject Member::toJson() const
{
    QJsonObject object{{"memberKey", memberKey}};
    if (openId)
        object.insert(QLatin1String("openId"), *openId);
    if (nickName)
        object.insert(QLatin1String("nickName"), *nickName);
    if (avatarUrl)
        object.insert(QLatin1String("avatarUrl"), *avatarUrl);
    return object;
}

Member Member::placeholder()
{
    return Member{QStringLiteral("unknown"), std::nullopt, std::nullopt, std::nullopt};
}
