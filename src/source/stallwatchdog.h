// When a playing source counts as stuck: its level has not changed for a
// long time, so its player hangs somewhere no other check sees. Fed with
// monotonic times; no clock, no timer of its own.
#pragma once

#include <QtGlobal>

class StallWatchdog
{
public:
    // Five minutes of a frozen level: long enough for any stream's own
    // silence or reconnect, short enough for a station.
    static constexpr qint64 defaultTimeoutMs = 300000;

    explicit StallWatchdog(qint64 nowMs = 0) : m_since(nowMs) { }

    // The level at `nowMs`; true when the source is to be restarted (the
    // count then starts again). A source held stopped (never played, or
    // stopped on request) is never stuck: restarting it would put it on air
    // behind the operator's back.
    bool isStuck(qint64 nowMs, double levelDb, bool isHeldStopped, qint64 timeoutMs = defaultTimeoutMs);
    // Starts the count again, as after a stop.
    void reset(qint64 nowMs);

private:
    double m_lastLevelDb = 0.0;
    qint64 m_since;
};
