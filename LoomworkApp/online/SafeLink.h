#pragma once

#include <functional>
#include <optional>

#include <QString>
#include <QUrl>

// The only way addresses from the server are opened: web and mail addresses only, through
// one opener (the desktop's default handler; tests put a recorder in its place).
namespace SafeLink {

using Opener = std::function<void(const QUrl&)>;

// A web address with a host, or a mail address whose recipients are addresses (a local
// part and a domain, no leading "-", no control character such as an encoded line break).
bool isAllowed(const QUrl& url);
// A valid http or https address with a host: what pictures, downloads and pages may load.
bool isWebAddress(const QUrl& url);
// The trimmed text as an address when it parses and isAllowed() holds; a mail address
// without its query and fragment.
std::optional<QUrl> url(const std::optional<QString>& text);
// Opens an allowed address (a mail address without its query and fragment); does nothing
// for anything else. The outcome is not reported.
void open(const std::optional<QUrl>& url);

// Replaces the opener; returns the previous one.
Opener setOpener(Opener opener);

} // namespace SafeLink
