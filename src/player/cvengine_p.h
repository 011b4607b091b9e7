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

qint64 nowMs();

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
    // Fills `out` with `count` frames, silence where the ring runs dry, and
    // records their peak for the meter.
    void read(float *out, int count);

    // Peak of the frames read since the last call; false when none were.
    bool takePeak(float *peak);
    [[nodiscard]] int buffered() const;

    void setPaced(bool paced) { m_paced.store(paced); }
    void setState(State s) { m_state.store(s); }
    [[nodiscard]] State state() const { return m_state.load(); }
    [[nodiscard]] qint64 lastDataMs() const { return m_lastDataMs.load(); }
    void setVolume(float v) { m_volume.store(v); }
    [[nodiscard]] float volume() const { return m_volume.load(); }
    [[nodiscard]] CVPlayerSource *owner() const { return m_owner; }

    // Mixer-thread state of the volume ramp.
    float gain = 0.0f;
    float gainStep = 0.0f;
    float gainTarget = 0.0f;

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
    std::atomic<bool> m_paced{false};
    std::atomic<State> m_state{Connecting};
    std::atomic<qint64> m_lastDataMs{0};
    std::atomic<float> m_volume{1.0f};
};

class MixerThread;

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

    // Called by the mixer thread.
    void render(float *out, int frames);
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
    // The device asked for could not be opened or was lost; players that
    // start meanwhile hear of it too, so the failure leads to a retry.
    std::atomic<bool> m_deviceFailed{false};

    std::mutex m_listMutex;        // the channel list, held briefly
    std::vector<std::shared_ptr<Channel>> m_channels;
    std::vector<std::shared_ptr<Channel>> m_snapshot; // mixer thread only
    std::vector<float> m_scratch;                     // mixer thread only
};

} // namespace CVEngine
