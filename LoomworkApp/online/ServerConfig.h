#pragma once

#include <QString>
#include <QUrl>
#include <QVariant>

// The base address of the service, resolved afresh on every call: the "serverBaseURL"
// setting (an override set from outside; the application never writes it), then the
// build-time address, then the built-in one.
namespace ServerConfig {

inline constexpr const char* defaultBaseURLString = "https://api.loomwork.example";
inline constexpr const char* settingsKey = "serverBaseURL";

QString baseURLString();
// A value given on the command line ("-serverBaseURL URL") stands above the stored setting
// for this run only and is never saved. Set once at start-up, before any request.
void setArgumentValue(const QString& value);
QUrl baseURL();
// The base with at most one trailing "/" removed, followed by `path` unchanged (a path the
// base carries stays in front). Invalid when the result does not parse.
QUrl url(const QString& path);

// The rule behind baseURLString(), with its inputs given (tests).
QString resolveBaseURLString(const QVariant& setting, const QVariant& buildValue);
// Whether the text converts to a URL.
bool parses(const QString& text);

inline constexpr const char* defaultWebHost = "loomwork.example";
// The maker's web site, shown by the toolbar, the sign-in help link and the tools page: the
// build's LOOMWORK_WEB_HOST, trimmed, or defaultWebHost when the build names none.
QString webHost();

} // namespace ServerConfig
