#include "stallwatchdog.h"

bool StallWatchdog::isStuck(qint64 nowMs, double levelDb, bool isHeldStopped, qint64 timeoutMs)
{
    // != so that a NaN level, unequal to itself, always counts as moving.
    if (levelDb != m_lastLevelDb || isHeldStopped)
        m_since = nowMs;
    m_lastLevelDb = levelDb;
    if (nowMs - m_since < timeoutMs)
        return false;
    m_since = nowMs;
    return true;
}

void StallWatchdog::reset(qint64 nowMs)
{
    m_lastLevelDb = 0.0;
    m_since = nowMs;
}
