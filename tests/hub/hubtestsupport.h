// Shared by the hub tests: the stored list, and the protected update slots
// that stand in for players and for the service's replies.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "olclientuser.h"
#include "olhub.h"
#include "olsource.h"
#include "testsupport.h"

using TestSupport::LogSpy;
using TestSupport::WorkDir;
using TestSupport::sourcesIni;

inline QByteArray readIni()
{
    return TestSupport::readFile(QStringLiteral("ondaline.ini"));
}

inline bool writeIni(const QByteArray &content)
{
    return TestSupport::writeFile(QStringLiteral("ondaline.ini"), content);
}

// The sources array on disk after the hub's pending writes, as url=volume.
inline QStringList storedSources(OLHub &hub)
{
    hub.settings()->sync();
    QStringList list;
    for (const auto &source : TestSupport::storedSources(QStringLiteral("ondaline.ini")))
        list.append(source.streamUrl + QLatin1Char('=') + QString::number(source.volumeLevel));
    return list;
}

inline QStringList streamUrls(const OLHub &hub)
{
    QStringList urls;
    for (const OLSource *source : hub.sources()->items())
        urls.append(source->streamUrl().toString());
    return urls;
}

// Nothing listens on port 9 here: players that try stay unconnected.
namespace Streams {
const QString A = QStringLiteral("http://127.0.0.1:9/a.mp3");
const QString B = QStringLiteral("http://127.0.0.1:9/b.mp3");
const QString C = QStringLiteral("http://127.0.0.1:9/c.mp3");
const QString R = QStringLiteral("record:96");

// As the hub puts credentials in: decoded, so that any sid is carried whole.
inline QString withUser(const QString &url, const QString &userName, const QString &password)
{
    QUrl u(url);
    u.setUserName(userName, QUrl::DecodedMode);
    u.setPassword(password, QUrl::DecodedMode);
    return u.toString();
}
} // namespace Streams

// The active position; -1 for none, -2 for more than one.
inline int activeIndex(const OLHub &hub)
{
    int active = -1;
    for (int i = 0; i < hub.sources()->count(); ++i) {
        if (hub.sources()->get(i)->isActive())
            active = active < 0 ? i : -2;
    }
    return active;
}

inline void setConnectedAndSilent(OLSource *source, bool isConnected, bool isSilentSound)
{
    QVERIFY(QMetaObject::invokeMethod(source, "updateIsConnected", Q_ARG(bool, isConnected)));
    QVERIFY(QMetaObject::invokeMethod(source, "updateIsSilentSound", Q_ARG(bool, isSilentSound)));
}

// In the real reply's order: session and identity, isLoggedIn, streams.
inline void fakeStateReply(OLClientUser *client, const QString &sid, int userId, bool isLoggedIn,
                           const QStringList &streamUrls)
{
    QJsonArray streams;
    for (const QString &url : streamUrls)
        streams.append(QJsonObject{{QStringLiteral("streamUrl"), url}});
    QVERIFY(QMetaObject::invokeMethod(client, "updateSid", Q_ARG(QString, sid)));
    QVERIFY(QMetaObject::invokeMethod(client, "updateUserId", Q_ARG(int, userId)));
    QVERIFY(QMetaObject::invokeMethod(client, "updateIsLoggedIn", Q_ARG(bool, isLoggedIn)));
    QVERIFY(QMetaObject::invokeMethod(client, "updateStreams", Q_ARG(QJsonArray, streams)));
}

// Sources play only while logged in: logs in with no streams, waits for
// every source to start and clears the log.
inline void logIn(OLHub &hub, LogSpy &log)
{
    fakeStateReply(hub.clientUser(), QStringLiteral("s-login"), 7, true, {});
    QTRY_COMPARE(log.count(QStringLiteral("start playing")), hub.sources()->count());
    log.clear();
}
