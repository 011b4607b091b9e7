// Internals of the output engine: the per-player channel (a bounded ring of
// 48 kHz stereo float frames with its volume and meter) and the process-wide
// mixer that pulls every channel on the output device's clock.
#pragma once

#include <QMutex>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class CVPlayerSource;

namespace CVEngine {

constexpr int SampleRate = 48000;
constexpr int Channels = 2;
// About 10 ms: a volume change never clicks and a switch never leaves a gap.
constexpr int RampFrames = SampleRate / 100;
constexpr int RingFrames = SampleRate * 2;
// About 5 ms: how a channel fades out when its ring runs dry or skips, and
// in when audio returns.
constexpr int FadeFrames = SampleRate / 200;
// A volume change takes effect this long after it was asked for. Two changes
// asked for together (one source up, another down) then start their ramps at
// the same sample, whichever mixer block each of them reaches first. It only
// has to cover the moment between taking the time and storing the change.
constexpr qint64 VolumeDelayUs = 3000;

qint64 nowMs();
// The same monotonic clock in microseconds.
qint64 nowUs();

// One player's audio on its way to the mixer. The decoder thread writes,
// the mixer reads; both hold the lock only to copy.
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
    // The volume last asked for.
    [[nodiscard]] float volume() const { return m_volume.load(); }
    // Mixer: appends the changes asked for since the last call.
    void takeVolumeChanges(std::vector<VolumeChange> &into);
    [[nodiscard]] CVPlayerSource *owner() const { return m_owner; }

    // Mixer-thread state of the volume ramp.
    float gain = 0.0f;
    float gainStep = 0.0f;
    float gainTarget = 0.0f;
    std::vector<VolumeChange> dueChanges; // taken, not yet reached

private:
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
    std::atomic<float> m_volume{1.0f};
};

class MixerThread;

// Mixes one channel's block into `out`: ramps its gain to each volume change
// from the frame due when the change takes effect. `in` is the channel's
// block; `endUs` as for Engine::render.
void mixChannel(Channel &ch, const float *in, float *out, int frames, qint64 endUs);

// The process-wide engine. Its mixer thread runs while the output is
// initialised or any channel is registered.
class Engine
{
public:
    static Engine &instance();

    bool init(int device);
    void free();

    void addChannel(const std::shared_ptr<Channel> &channel);
    void removeChannel(const std::shared_ptr<Channel> &channel);

    // Called by the mixer thread. The block's last frame is the one due at
    // `endUs` (nowUs()); the frames before it are due one sample period apart.
    void render(float *out, int frames, qint64 endUs);
    void render(float *out, int frames) { render(out, frames, nowUs()); }
    void reportDeviceFailure();

    void shutdown();

private:
    Engine() = default;
    ~Engine();
    void ensureRunning();
    void stopIfIdle();
    static void postDeviceFailure(CVPlayerSource *owner);

    mutable QMutex m_control;      // start, stop, init, free
    std::unique_ptr<MixerThread> m_thread;
    bool m_wantDevice = false;
    int m_device = -1;

    std::mutex m_listMutex;        // the channel list, held briefly
    std::vector<std::shared_ptr<Channel>> m_channels;
    // Mixer thread only; a mixer thread that replaces another starts after
    // the other has been joined.
    std::vector<std::shared_ptr<Channel>> m_snapshot;
    std::vector<float> m_scratch;
};

} // namespace CVEngine
