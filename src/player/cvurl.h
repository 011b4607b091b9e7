// Stream URLs as the log and the state report may show them, and which
// URLs a player opens.
#pragma once

#include <QString>
#include <QUrl>

namespace CVUrl {

// The URL without user name and password, whatever its form: a password
// holding '#', '/' or '?' breaks the parse, and text without "scheme://"
// has no user info to Qt. Where in doubt, everything up to the last '@'
// after the scheme goes.
QString forLog(const QUrl &url);
QString forLog(const QString &text);

// Only http and https are streams: a service or a settings file naming a
// file or another protocol must not get it opened.
bool isStream(const QUrl &url);

} // namespace CVUrl
