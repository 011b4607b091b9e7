// How long a stream input waits before it connects again.
#pragma once

#include <QtGlobal>

namespace CVEngine {

constexpr int FirstReconnectDelayMs = 500;
// A feed that is back plays again within about this long, however long the
// server was down (30 tries a minute at the most).
constexpr int MaxReconnectDelayMs = 2000;
// A connection that played this long earns the first delay again.
constexpr qint64 PlayedLongEnoughMs = 10000;

// The delay after a session that played `playedMs` of audio, given the delay
// before it (0 before the first): 0.5 s, 1 s, then every 2 s while the server
// keeps failing, so a broken server is not hammered.
int reconnectDelayMs(int previousDelayMs, qint64 playedMs);

} // namespace CVEngine
