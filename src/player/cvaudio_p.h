// What every part of the output engine shares: the mix format and the clock.
#pragma once

#include <QtGlobal>

#include <chrono>

namespace CVEngine {

constexpr int SampleRate = 48000;
constexpr int Channels = 2;

// Monotonic: a step of the wall clock moves no deadline and no ramp.
inline qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace CVEngine
