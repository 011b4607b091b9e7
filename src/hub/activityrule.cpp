#include "activityrule.h"

namespace ActivityRule {

Start startPhase(const StartFacts &facts, bool &soundedSincePlay)
{
    if (facts.sincePlayMs < 0)
        return Start::Settled;
    if (facts.sinceConnectedMs < 0)
        return facts.sincePlayMs < connectHoldMs ? Start::Pending : Start::Settled;
    if (!facts.silent || facts.sincePlayMs >= connectHoldMs + facts.soundMs)
        return Start::Settled;
    soundedSincePlay = soundedSincePlay || !facts.silentByLevel;
    if (soundedSincePlay)
        return Start::Sounding;
    return facts.sinceConnectedMs < firstSoundHoldMs ? Start::Pending : Start::Quiet;
}

int choose(const QList<SourceState> &sources)
{
    int holding = -1;
    int firstConnected = -1;
    for (int i = 0; i < sources.size(); ++i) {
        const SourceState &s = sources.at(i);
        if (s.start == Start::Pending) {
            if (holding < 0)
                holding = i;
            continue;
        }
        if (!s.connected)
            continue;
        // A source already on its way stays eligible: only sources that
        // start along with the held one wait for it.
        if (holding >= 0 && s.start != Start::Settled)
            continue;
        if (firstConnected < 0)
            firstConnected = i;
        if (!s.silent || s.start == Start::Sounding)
            return i;
    }
    if (firstConnected >= 0)
        return firstConnected;
    if (holding >= 0)
        return holding;
    return sources.isEmpty() ? -1 : 0;
}

} // namespace ActivityRule
