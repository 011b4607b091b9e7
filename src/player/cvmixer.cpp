// The mixer: the channel list, the volume ramps and the output's lifetime.
#include "cvmixer_p.h"
#include "cvoutput_p.h"
#include "cvplayer.h"
#include "cvqueuedcall.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace CVEngine {

Mixer &Mixer::instance()
{
    static Mixer mixer;
    return mixer;
}

Mixer::~Mixer()
{
    shutdown();
}

static void shutdownMixer()
{
    Mixer::instance().shutdown();
}

void Mixer::ensureRunning()
{
    if (m_thread)
        return;
    static bool postRoutineAdded = false;
    if (!postRoutineAdded && QCoreApplication::instance()) {
        // The device must close while Qt is still there.
        qAddPostRoutine(shutdownMixer);
        postRoutineAdded = true;
    }
    m_thread = std::make_unique<OutputThread>();
    m_thread->startAndWait();
}

void Mixer::stopIfIdle()
{
    if (!m_thread || m_wantDevice)
        return;
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        if (!m_channels.empty())
            return;
    }
    m_thread->stopAndWait();
    m_thread.reset();
}

bool Mixer::init(int device)
{
    QMutexLocker lock(&m_control);
    m_wantDevice = true;
    ensureRunning();
    bool ok = false;
    m_thread->call([&ok, device](Output &output) { ok = output.openDevice(device); });
    return ok;
}

void Mixer::free()
{
    QMutexLocker lock(&m_control);
    m_wantDevice = false;
    if (!m_thread)
        return;
    m_thread->call([](Output &output) { output.useClock(); });
    stopIfIdle();
}

void Mixer::shutdown()
{
    QMutexLocker lock(&m_control);
    m_wantDevice = false;
    if (!m_thread)
        return;
    m_thread->stopAndWait();
    m_thread.reset();
}

void Mixer::addChannel(const std::shared_ptr<Channel> &channel)
{
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        if (std::find(m_channels.begin(), m_channels.end(), channel) != m_channels.end())
            return;
        m_channels.push_back(channel);
    }
    QMutexLocker lock(&m_control);
    ensureRunning();
}

void Mixer::removeChannel(const std::shared_ptr<Channel> &channel)
{
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        m_channels.erase(std::remove(m_channels.begin(), m_channels.end(), channel), m_channels.end());
    }
    QMutexLocker lock(&m_control);
    stopIfIdle();
}

void mixChannel(Channel &ch, const float *in, float *out, int frames, qint64 endUs)
{
    ch.takeVolumeChanges(ch.dueChanges);
    auto startFrame = [&](const Channel::VolumeChange &c) {
        const qint64 dueUs = c.atUs + VolumeDelayUs;
        if (dueUs > endUs)
            return frames; // a later block's
        // Frames are due a sample period apart, ending at `endUs`. A change
        // whose frame is already past (a late one) starts at once.
        const qint64 framesBefore = (endUs - dueUs) * SampleRate / 1000000;
        return int(std::max<qint64>(0, frames - 1 - framesBefore));
    };
    size_t next = 0;
    int i = 0;
    while (i < frames) {
        int until = frames;
        if (next < ch.dueChanges.size()) {
            const int at = startFrame(ch.dueChanges[next]);
            if (at <= i) {
                ch.gainTarget = ch.dueChanges[next].volume;
                ch.gainStep = std::fabs(ch.gainTarget - ch.gain) / RampFrames;
                ++next;
                continue;
            }
            until = at;
        }
        for (; i < until && ch.gain != ch.gainTarget; ++i) {
            if (ch.gain < ch.gainTarget)
                ch.gain = std::min(ch.gainTarget, ch.gain + ch.gainStep);
            else
                ch.gain = std::max(ch.gainTarget, ch.gain - ch.gainStep);
            out[2 * i] += in[2 * i] * ch.gain;
            out[2 * i + 1] += in[2 * i + 1] * ch.gain;
        }
        const float g = ch.gain;
        if (g != 0.0f) {
            for (size_t k = size_t(i) * Channels; k < size_t(until) * Channels; ++k)
                out[k] += in[k] * g;
        }
        i = until;
    }
    ch.dueChanges.erase(ch.dueChanges.begin(), ch.dueChanges.begin() + std::ptrdiff_t(next));
}

void Mixer::render(float *out, int frames, qint64 endUs)
{
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        m_snapshot = m_channels;
    }
    const size_t samples = size_t(frames) * Channels;
    std::fill(out, out + samples, 0.0f);
    if (m_scratch.size() < samples)
        m_scratch.resize(samples);
    float *in = m_scratch.data();
    for (const auto &ch : m_snapshot) {
        ch->read(in, frames);
        mixChannel(*ch, in, out, frames, endUs);
    }
    m_snapshot.clear();
}

// With the list locked: channels leave the list before their player dies,
// so each owner is alive while the call is posted (and the call is dropped
// if the owner dies later).
void Mixer::reportDeviceFailure()
{
    std::lock_guard<std::mutex> lock(m_listMutex);
    for (const auto &ch : m_channels) {
        if (CVPlayerSource *owner = ch->owner())
            CVQueuedCall::post(owner, [owner] { emit owner->deviceFailure(); });
    }
}

} // namespace CVEngine
