#pragma once

#include <optional>

#include <QJsonObject>
#include <QString>

// The signed-in user as the service describes it.
struct Member
{
    QString memberKey;
    std::optional<QString> openId;
    std::optional<QString> nickName;
    std::optional<QString> avatarUrl;

    bool operator==(const Member&) const = default;

    // "memberKey" must be a string; the others may be absent or null, but a present value
    // of another type fails the whole member.
    static std::optional<Member> fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    // Stands in when a successful reply carries no usable member.
    static Member placeholder();
};
