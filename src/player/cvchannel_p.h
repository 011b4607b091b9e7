// One player's audio on its way to the mixer: a bounded ring of 48 kHz
// stereo float frames with its volume and meter.
#pragma once

#include "cvaudio_p.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

class CVPlayerSource;

namespace CVEngine {

// About 2 s: memory stays bounded whatever the input.
constexpr int RingFrames = SampleRate * 2;
// About 5 ms: how a channel fades out when its ring runs dry or skips, and
// in when audio returns.
constexpr int FadeFrames = SampleRate / 200;

// The decoder thread writes, the mixer reads; both hold the lock only to copy.
class Channel
{
public:
    enum State { Connecting, Streaming, Waiting, Missing };

    explicit Channel(CVPlayerSource *owner, int capacityFrames = RingFrames);

    // Appends interleaved stereo frames. A paced channel (an input faster
    // than real time) waits for room; a live one drops its oldest frames so
    // the reader never lags more than the ring's length behind.
    // Returns false when `abort` was raised while waiting.
    bool write(const float *frames, int count, const std::atomic<bool> &abort);
    // Fills `out` with `count` frames and records their peak for the meter.
    // Where the ring runs dry the sound fades out over a few ms (the last
    // frames played, mirrored), then silence; audio that returns after that,
    // or after an overflow skip, fades in (a skip crossfades with the frames
    // it dropped).
    void read(float *out, int count);

    // Peak of the frames read since the last call; false when none were.
    bool takePeak(float *peak);
    [[nodiscard]] int buffered() const;

    void setPaced(bool paced) { m_paced.store(paced); }
    void setState(State s) { m_state.store(s); }
    [[nodiscard]] State state() const { return m_state.load(); }
    [[nodiscard]] qint64 lastDataMs() const { return m_lastDataMs.load(); }
    struct VolumeChange
    {
        float volume;
        qint64 atUs; // when it was asked for, nowUs()
    };
    // Asks for a new volume. The mixer ramps to it from the sample that
    // corresponds to `atUs` + VolumeDelayUs.
    void setVolume(float v, qint64 atUs);
    void setVolume(float v) { setVolume(v, nowUs()); }
    // Mixer: appends the changes asked for since the last call.
    void takeVolumeChanges(std::vector<VolumeChange> &into);
    [[nodiscard]] CVPlayerSource *owner() const { return m_owner; }

    // Mixer-thread state of the volume ramp.
    float gain = 0.0f;
    float gainStep = 0.0f;
    float gainTarget = 0.0f;
    std::vector<VolumeChange> dueChanges; // taken, not yet reached

private:
    // With the lock held.
    void skipAhead(int incoming);
    void copyIn(const float *frames, int count);
    void nextFrame(bool fromRing, float &left, float &right);
    bool readSteady(float *out, int count);
    int readFrames(float *out, int count);
    template<typename FrameAt>
    void startTail(int length, FrameAt frameAt);

    CVPlayerSource *const m_owner;
    const int m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_space;
    std::vector<float> m_ring;
    int m_head = 0;   // first buffered frame
    int m_count = 0;  // buffered frames
    float m_peak = 0.0f;
    qint64 m_framesRead = 0;
    bool m_writerWaiting = false;
    // Fades, all in frames. `m_recent` holds the last FadeFrames frames
    // played (a circle ending before `m_recentAt`); `m_tail` what fades out
    // under the ring's audio; `m_fadeIn` how far the ring's audio has faded in.
    std::vector<float> m_recent;
    int m_recentAt = 0;
    std::vector<float> m_tail;
    int m_tailLength = 0;
    int m_tailAt = 0;
    int m_fadeIn = 0;
    bool m_dry = true;
    std::vector<VolumeChange> m_volumeChanges;
    std::atomic<bool> m_paced{false};
    std::atomic<State> m_state{Connecting};
    std::atomic<qint64> m_lastDataMs{0};
};

} // namespace CVEngine
