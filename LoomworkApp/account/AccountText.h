#pragma once

#include <optional>

#include <QDateTime>
#include <QString>

#include "online/LoginService.h"

// Texts of the account views: the account card's lines, worked out from the login alone,
// and the character counting of names.
namespace AccountText {

// Characters as the user sees them (grapheme clusters), and the first `count` of them.
int length(const QString& text);
QString prefix(const QString& text, int count);

// The trimmed nickname, "用户中心" without one, "未登录" when nobody is signed in.
QString displayName(const LoginService::Phase& phase);
// "ID：" + the first 14 characters of the key + "…", whatever the key's length.
QString idLine(const QString& memberKey);
// "登录有效期至 " + the date in the user's locale; none without a date.
std::optional<QString> expiryLine(const std::optional<QDateTime>& expireAt);

} // namespace AccountText
