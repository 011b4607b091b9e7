// How long a stream input waits before it connects again.
#include "cvreconnectdelay.h"

#include <algorithm>

namespace CVEngine {

int reconnectDelayMs(int previousDelayMs, qint64 playedMs)
{
    if (playedMs >= PlayedLongEnoughMs || previousDelayMs <= 0)
        return FirstReconnectDelayMs;
    // Doubling, capped; halving the cap first keeps any previous value in range.
    return std::min(previousDelayMs, MaxReconnectDelayMs / 2) * 2;
}

} // namespace CVEngine
