// A source whose update slots can be driven.
#pragma once

#include "cvplayer.h"
#include "cvqueuedcall.h"
#include "olhub.h"
#include "olsource.h"
#include "testsupport.h"

#include <future>

class ProbedSource : public OLSource
{
public:
    using OLSource::OLSource;
    using OLSource::player;
    using OLSource::updateIsPlaying;
    using OLSource::updateIsStalled;
    using OLSource::updateLevel;
    using OLSource::updateLevelDb;

    // Read in the player's thread after everything queued before; a future,
    // not a blocking queued call, so that a thread sanitizer sees the hand-over.
    template<typename F>
    auto askPlayer(F question) const
    {
        std::promise<decltype(question(nullptr))> answer;
        CVPlayer *p = player();
        CVQueuedCall::post(p, [p, &answer, question] { answer.set_value(question(p)); });
        return answer.get_future().get();
    }
};
