// Which source is heard: the first connected, sounding source in list
// order; failing that the first connected one; failing that the first.
// Sources that start together (at start-up, at login) count as sounding
// once their level has sounded, before their first verdict can fall, and a
// starting source does not go on air while a source above it is still
// connecting or has not shown its level yet: the first audio heard is the
// highest-priority source that sounds.
#pragma once

#include <QList>
#include <QtGlobal>

namespace ActivityRule {

enum class Start {
    Settled,    // playing for a while, stopped, or never played
    Pending,  // played a moment ago: not connected yet, or no level yet
    Quiet,    // connected since a moment, no sound heard yet
    Sounding, // connected since a moment and sounded, no verdict yet
};

struct SourceState
{
    bool connected = false;
    bool silent = true; // the verdict, with its hysteresis
    Start start = Start::Settled;
};

// How long a source that was just played may keep a starting source below
// it off the air while it connects, and then while its first level comes.
inline constexpr int connectHoldMs = 2000;
inline constexpr int firstSoundHoldMs = 500;

// What a source knows of its own start; durations in ms, -1 when the
// moment has not come (never played or stopped; not connected).
struct StartFacts
{
    qint64 sincePlayMs = -1;
    qint64 sinceConnectedMs = -1;
    bool silent = true;        // the verdict
    bool silentByLevel = true; // the level alone
    qint64 soundMs = 0;        // how long sound takes to turn the verdict
};

// The source's start phase. `soundedSincePlay` carries, from one call to
// the next, whether its level has sounded since it was played: once sounded
// it stays so, since a dip at a stream's start (an encoder's priming) must
// not hand the air to a lower source.
Start startPhase(const StartFacts &facts, bool &soundedSincePlay);

// The position of the source to hear; -1 for an empty list.
int choose(const QList<SourceState> &sources);

} // namespace ActivityRule
