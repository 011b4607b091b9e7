// Which source is heard: the first connected, sounding source in list
// order; failing that the first connected one; failing that the first.
// Sources that start together (at start-up, at login) are judged by their
// level until their first verdict can fall, and a starting source does not
// go on air while a source above it is still connecting: the first audio
// heard is the highest-priority source that sounds.
#pragma once

#include <QList>

namespace ActivityRule {

enum class Start {
    Settled,    // playing for a while, stopped, or never played
    Connecting, // played a moment ago and not connected yet
    Warming,    // connected since a moment, no sound verdict yet
};

struct SourceState
{
    bool connected = false;
    bool silent = true;          // the verdict, with its hysteresis
    bool soundingByLevel = false; // the level right now
    Start start = Start::Settled;
};

// How long a source that was just played may keep a starting source below
// it off the air while it connects.
inline constexpr int connectHoldMs = 2000;

// The position of the source to hear; -1 for an empty list.
int choose(const QList<SourceState> &sources);

} // namespace ActivityRule
