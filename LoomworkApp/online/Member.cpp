#include "online/Member.h"

#include "engine/core/JsonRead.h"

namespace {

bool optionalString(const QJsonObject& object, const char* key, std::optional<QString>& out)
{
    return JsonRead::optionalString(object.value(QLatin1String(key)), out);
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
