#include "cvurl.h"

namespace CVUrl {

QString forLog(const QUrl &url)
{
    const QString shown = url.toString(QUrl::RemoveUserInfo);
    if (!shown.contains(QLatin1Char('@')))
        return shown;
    return forLog(url.toString());
}

QString forLog(const QString &text)
{
    const qsizetype schemeEnd = text.indexOf(QLatin1String("://"));
    const qsizetype start = schemeEnd < 0 ? 0 : schemeEnd + 3;
    const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
    if (at < start)
        return text;
    return text.left(start) + text.mid(at + 1);
}

bool isStream(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

} // namespace CVUrl
