// The process-wide mixer: sums every player's channel with its volume.
#pragma once

#include "cvchannel_p.h"

#include <QMutex>

#include <memory>
#include <mutex>
#include <vector>

namespace CVEngine {

// About 10 ms: a volume change never clicks and a switch never leaves a gap.
constexpr int RampFrames = SampleRate / 100;
// A volume change takes effect this long after it was asked for. Two changes
// asked for together (one source up, another down) then start their ramps at
// the same sample, whichever mixer block each of them reaches first. It has
// to cover the moment between taking the time and storing the change, which
// a busy machine may stretch by a scheduler's time slice.
constexpr qint64 VolumeDelayUs = 10000;

// Mixes one channel's block into `out`: ramps its gain to each volume change
// from the frame due when the change takes effect. `in` is the channel's
// block; `endUs` as for Mixer::render.
void mixChannel(Channel &ch, const float *in, float *out, int frames, qint64 endUs);

class OutputThread;

// Its output thread runs while the output is initialised or any channel is
// registered.
class Mixer
{
public:
    static Mixer &instance();

    bool init(int device);
    void free();

    void addChannel(const std::shared_ptr<Channel> &channel);
    void removeChannel(const std::shared_ptr<Channel> &channel);

    // Called by the output thread. The block's last frame is the one due at
    // `endUs` (nowUs()); the frames before it are due one sample period apart.
    void render(float *out, int frames, qint64 endUs);
    void reportDeviceFailure();

    void shutdown();

private:
    Mixer() = default;
    ~Mixer();
    void ensureRunning();
    void stopIfIdle();

    mutable QMutex m_control;      // start, stop, init, free
    std::unique_ptr<OutputThread> m_thread;
    bool m_wantDevice = false;

    std::mutex m_listMutex;        // the channel list, held briefly
    std::vector<std::shared_ptr<Channel>> m_channels;
    // Output thread only; an output thread that replaces another starts
    // after the other has been joined.
    std::vector<std::shared_ptr<Channel>> m_snapshot;
    std::vector<float> m_scratch;
};

} // namespace CVEngine
