// Shared by the source tests: a source whose protected update slots can be
// driven, a recorder of log lines, and a hub in a private working directory.
#pragma once

#include "cvplayer.h"
#include "olclientuser.h"
#include "olhub.h"
#include "olsource.h"
#include "cvqueuedcall.h"

#include <QDir>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>

class ProbedSource : public OLSource
{
public:
    using OLSource::OLSource;
    using OLSource::player;
    using OLSource::updateIsPlaying;
    using OLSource::updateIsStalled;
    using OLSource::updateLevel;
    using OLSource::updateLevelDb;

    // Not a blocking queued call: a thread sanitizer sees a future's
    // hand-over even when Qt is not instrumented.
    template<typename F>
    auto askPlayer(F question) const
    {
        using Answer = decltype(question(nullptr));
        std::promise<Answer> answer;
        std::future<Answer> result = answer.get_future();
        CVPlayer *p = player();
        CVQueuedCall::post(p, [p, &answer, question] { answer.set_value(question(p)); });
        return result.get();
    }

    // The player's volume, read in its own thread after everything queued before.
    double playerVolume() const
    {
        return askPlayer([](CVPlayer *p) { return p->volume(); });
    }
    bool playerIsPlaying() const
    {
        return askPlayer([](CVPlayer *p) { return p->isPlaying(); });
    }
};

// Collects every message while alive (from any thread), and passes them on.
// Keep one for the whole test run: a player thread may still be logging
// while a shorter-lived one would be destroyed.
class LogRecorder
{
public:
    LogRecorder()
    {
        s_instance = this;
        m_previous = qInstallMessageHandler(&LogRecorder::handle);
    }
    ~LogRecorder()
    {
        qInstallMessageHandler(m_previous);
        s_instance = nullptr;
    }
    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return QStringList(m_lines.cbegin(), m_lines.cend()); // never share the list being appended to
    }
    int count(const QString &needle) const { return lines().filter(needle).size(); }
    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        LogRecorder *self = s_instance;
        if (!self)
            return;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_lines.append(message);
        }
        if (self->m_previous)
            self->m_previous(type, context, message);
    }

    static inline std::atomic<LogRecorder *> s_instance { nullptr };
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

// A hub that writes its settings into a private directory and whose client
// talks to a closed local port, never to the real service.
class HubFixture
{
public:
    HubFixture()
    {
        m_previousDir = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        OLClientUser::setServiceBaseUrl(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
        probe.close();
        hub = std::make_unique<OLHub>();
    }
    ~HubFixture()
    {
        hub.reset();
        QDir::setCurrent(m_previousDir);
    }

    std::unique_ptr<OLHub> hub;

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
};

// A local URL where nothing listens: the player plays it and stays stalled.
inline QUrl deadStreamUrl(const QString &userName = QString(), const QString &password = QString())
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setUserName(userName);
    url.setPassword(password);
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(probe.serverPort());
    url.setPath(QStringLiteral("/dead.mp3"));
    return url;
}
