// Shared by the source tests: a source whose protected update slots can be
// driven, and a hub in a private working directory.
#pragma once

#include "cvplayer.h"
#include "olclientuser.h"
#include "olhub.h"
#include "olsource.h"
#include "cvqueuedcall.h"
#include "testsupport.h"

#include <future>
#include <memory>

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

using TestSupport::LogSpy;

// A hub that writes its settings into a private directory and whose client
// talks to a closed local port, never to the real service.
class HubFixture
{
public:
    HubFixture() : hub(std::make_unique<OLHub>()) { }
    ~HubFixture() { hub.reset(); }

private:
    TestSupport::WorkDir m_dir;

public:
    std::unique_ptr<OLHub> hub;
};

// A local URL where nothing listens: the player plays it and stays stalled.
inline QUrl deadStreamUrl(const QString &userName = QString(), const QString &password = QString())
{
    QUrl url(TestSupport::closedServiceUrl() + QStringLiteral("/dead.mp3"));
    url.setUserName(userName);
    url.setPassword(password);
    return url;
}
