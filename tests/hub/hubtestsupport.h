// Shared by the hub's source, device and stream tests: a log spy, a private
// working directory, the stored source list, and access to the protected
// update slots that stand in for players and for the service's replies.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "olclientuser.h"
#include "olhub.h"
#include "olsource.h"

// Every message while alive, from any thread, passed on to the previous
// handler too, and announced on the spy's thread for QSignalSpy.
class LogSpy : public QObject
{
    Q_OBJECT

public:
    LogSpy()
    {
        QMutexLocker locker(&s_mutex);
        s_spy = this;
        m_previous = qInstallMessageHandler(&LogSpy::handle);
    }
    ~LogSpy() override
    {
        QMutexLocker locker(&s_mutex);
        qInstallMessageHandler(m_previous);
        s_spy = nullptr;
    }

    [[nodiscard]] QStringList lines() const
    {
        QMutexLocker locker(&s_mutex);
        return m_lines;
    }
    // Lines that contain every one of the texts.
    [[nodiscard]] int count(const QStringList &texts) const
    {
        QStringList found = lines();
        for (const QString &text : texts)
            found = found.filter(text);
        return int(found.size());
    }
    [[nodiscard]] int count(const QString &text) const { return count(QStringList{text}); }
    void clear()
    {
        QMutexLocker locker(&s_mutex);
        m_lines.clear();
    }

    // Handles events for the whole time: the way to show that no line with
    // `text` comes.
    bool loggedWithin(const QString &text, int timeoutMs)
    {
        const int before = count(text);
        QSignalSpy spy(this, &LogSpy::logged);
        QElapsedTimer elapsed;
        elapsed.start();
        while (elapsed.elapsed() < timeoutMs)
            spy.wait(int(timeoutMs - elapsed.elapsed()));
        return count(text) > before;
    }

signals:
    void logged();

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        QtMessageHandler previous = nullptr;
        {
            QMutexLocker locker(&s_mutex);
            if (!s_spy)
                return;
            previous = s_spy->m_previous;
            s_spy->m_lines.append(message);
            QMetaObject::invokeMethod(s_spy, &LogSpy::logged, Qt::QueuedConnection);
        }
        if (previous)
            previous(type, context, message);
    }

    static inline QMutex s_mutex;
    static inline LogSpy *s_spy = nullptr;
    QtMessageHandler m_previous = nullptr;
    QStringList m_lines;
};

// "ondaline.ini" lives in a private directory; the client's service is a
// closed local port, so its requests never leave the machine.
class WorkDir
{
public:
    WorkDir()
    {
        QDir::setCurrent(m_dir.path());
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        OLClientUser::setServiceBaseUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
    }
    ~WorkDir() { QDir::setCurrent(m_previous); }

private:
    QString m_previous = QDir::currentPath();
    QTemporaryDir m_dir;
};

inline QByteArray readIni()
{
    QFile file(QStringLiteral("ondaline.ini"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeIni(const QByteArray &content)
{
    QFile file(QStringLiteral("ondaline.ini"));
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A sources array entry per (url, volume); a negative volume is left out.
inline QByteArray sourcesIni(const QList<QPair<QString, double>> &entries, const QByteArray &general = {})
{
    QByteArray ini = "[General]\n" + general + "\n[sources]\n";
    for (int i = 0; i < entries.size(); ++i) {
        const QByteArray n = QByteArray::number(i + 1);
        ini += n + "\\streamUrl=" + entries.at(i).first.toUtf8() + "\n";
        if (entries.at(i).second >= 0)
            ini += n + "\\volumeLevel=" + QByteArray::number(entries.at(i).second) + "\n";
    }
    return ini + "size=" + QByteArray::number(entries.size()) + "\n";
}

// The sources array on disk after the hub's pending writes, as url=volume.
inline QStringList storedSources(OLHub &hub)
{
    hub.settings()->sync();
    QSettings file(QStringLiteral("ondaline.ini"), QSettings::IniFormat);
    QStringList list;
    const int size = file.beginReadArray(QStringLiteral("sources"));
    for (int i = 0; i < size; ++i) {
        file.setArrayIndex(i);
        list.append(file.value(QStringLiteral("streamUrl")).toString() + QLatin1Char('=')
                    + file.value(QStringLiteral("volumeLevel")).toString());
    }
    file.endArray();
    return list;
}

inline QStringList streamUrls(const OLHub &hub)
{
    QStringList urls;
    for (const OLSource *source : hub.sources()->items())
        urls.append(source->streamUrl().toString());
    return urls;
}

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

// A player's reports, through the source's protected update slots.
inline void setConnectedAndSilent(OLSource *source, bool isConnected, bool isSilentSound)
{
    QVERIFY(QMetaObject::invokeMethod(source, "updateIsConnected", Q_ARG(bool, isConnected)));
    QVERIFY(QMetaObject::invokeMethod(source, "updateIsSilentSound", Q_ARG(bool, isSilentSound)));
}

// A state reply, through the client's protected update slots, in the
// reply's order: session and identity, isLoggedIn, streams.
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

// Sources play only while logged in: logs in with no streams, waits for the
// login's restart to play every source and starts from a clean log.
inline void logIn(OLHub &hub, LogSpy &log)
{
    fakeStateReply(hub.clientUser(), QStringLiteral("s-login"), 7, true, {});
    QTRY_COMPARE(log.count(QStringLiteral("start playing")), hub.sources()->count());
    log.clear();
}
