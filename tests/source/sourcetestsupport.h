// A source whose update slots can be driven.
#pragma once

#include "cvplayer.h"
#include "olhub.h"
#include "olsource.h"
#include "testsupport.h"

class ProbedSource : public OLSource
{
public:
    using OLSource::OLSource;
    using OLSource::player;
    using OLSource::updateIsPlaying;
    using OLSource::updateIsStalled;
    using OLSource::updateLevel;
    using OLSource::updateLevelDb;
};
