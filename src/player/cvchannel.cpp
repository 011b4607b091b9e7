// The ring between a decoder and the mixer, with its fades and meter.
#include "cvchannel_p.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace CVEngine {

namespace {
// Only the last value matters when the mixer falls far behind.
constexpr size_t MaxPendingVolumeChanges = 16;
// A paced writer looks at its abort flag at least this often.
constexpr auto PacedWaitStep = std::chrono::milliseconds(50);
} // namespace

Channel::Channel(CVPlayerSource *owner, int capacityFrames)
    : m_owner(owner), m_capacity(std::max(capacityFrames, 1)),
      m_ring(size_t(std::max(capacityFrames, 1)) * Channels, 0.0f),
      m_recent(size_t(FadeFrames) * Channels, 0.0f), m_tail(size_t(FadeFrames) * Channels, 0.0f)
{
}

void Channel::setVolume(float v, qint64 atUs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_volumeChanges.size() >= MaxPendingVolumeChanges)
        m_volumeChanges.erase(m_volumeChanges.begin());
    m_volumeChanges.push_back({ v, atUs });
}

void Channel::takeVolumeChanges(std::vector<VolumeChange> &into)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    into.insert(into.end(), m_volumeChanges.begin(), m_volumeChanges.end());
    m_volumeChanges.clear();
}

bool Channel::write(const float *frames, int count, const std::atomic<bool> &abort)
{
    while (count > 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_paced.load() && m_count == m_capacity) {
            // Waiting for room is not a stall: the input is ahead of the clock.
            m_lastDataMs.store(nowMs());
            m_writerWaiting = true;
            m_space.wait_for(lock, PacedWaitStep);
            m_writerWaiting = false;
            if (abort.load())
                return false;
            continue;
        }
        int chunk = std::min(count, m_capacity);
        if (m_paced.load())
            chunk = std::min(chunk, m_capacity - m_count);
        else
            skipAhead(chunk);
        copyIn(frames, chunk);
        frames += size_t(chunk) * Channels;
        count -= chunk;
        m_lastDataMs.store(nowMs());
    }
    return true;
}

// Too far behind (a server's burst on connect, or a clock that runs fast):
// skip down to half the ring in one jump. Trimming just the excess would
// keep the ring full and drop a little on every burst, a click each time.
void Channel::skipAhead(int incoming)
{
    if (m_count + incoming <= m_capacity)
        return;
    const int drop = std::min(m_count, m_count + incoming - m_capacity / 2);
    if (!m_dry && drop > 0) {
        // Fade out what the reader would have played next while the audio
        // after the jump fades in.
        startTail(std::min(drop, FadeFrames),
                  [this](int j) { return &m_ring[size_t((m_head + j) % m_capacity) * Channels]; });
        m_fadeIn = 0;
    }
    m_head = (m_head + drop) % m_capacity;
    m_count -= drop;
}

void Channel::copyIn(const float *frames, int count)
{
    int tail = (m_head + m_count) % m_capacity;
    int done = 0;
    while (done < count) {
        const int n = std::min(count - done, m_capacity - tail);
        std::memcpy(&m_ring[size_t(tail) * Channels], frames + size_t(done) * Channels,
                    size_t(n) * Channels * sizeof(float));
        done += n;
        tail = (tail + n) % m_capacity;
    }
    m_count += count;
}

template<typename FrameAt>
void Channel::startTail(int length, FrameAt frameAt)
{
    m_tailLength = length;
    m_tailAt = 0;
    for (int j = 0; j < length; ++j) {
        const float *frame = frameAt(j);
        m_tail[size_t(j) * Channels] = frame[0];
        m_tail[size_t(j) * Channels + 1] = frame[1];
    }
}

// One frame of the ring, or of the fade-out where it ran dry, with the tail
// of an earlier fade under it. Inline: it runs for every frame played.
inline void Channel::nextFrame(bool fromRing, float &left, float &right)
{
    if (fromRing) {
        const size_t at = size_t(m_head) * Channels;
        left = m_ring[at];
        right = m_ring[at + 1];
        m_head = m_head + 1 == m_capacity ? 0 : m_head + 1;
        m_dry = false;
        if (m_fadeIn < FadeFrames) {
            ++m_fadeIn;
            const float g = float(m_fadeIn) / float(FadeFrames + 1);
            left *= g;
            right *= g;
        }
    } else if (!m_dry) {
        // Run dry: play the last frames backwards while fading out, which
        // continues the wave where it stopped.
        m_dry = true;
        m_fadeIn = 0;
        startTail(FadeFrames, [this](int j) {
            return &m_recent[size_t((m_recentAt + FadeFrames - 1 - j) % FadeFrames) * Channels];
        });
    }
    if (m_tailAt < m_tailLength) {
        const float g = float(m_tailLength - m_tailAt) / float(m_tailLength + 1);
        left += m_tail[size_t(m_tailAt) * Channels] * g;
        right += m_tail[size_t(m_tailAt) * Channels + 1] * g;
        ++m_tailAt;
    }
}

// The common case, every block of a steadily fed channel: no fade, no tail,
// enough in the ring. Straight copies and a peak the compiler vectorises.
bool Channel::readSteady(float *out, int count)
{
    if (count > m_count || m_fadeIn < FadeFrames || m_tailAt < m_tailLength || m_dry)
        return false;
    for (int done = 0; done < count;) {
        const int n = std::min(count - done, m_capacity - m_head);
        std::memcpy(out + size_t(done) * Channels, &m_ring[size_t(m_head) * Channels],
                    size_t(n) * Channels * sizeof(float));
        m_head = m_head + n == m_capacity ? 0 : m_head + n;
        done += n;
    }
    float peak = m_peak;
    for (size_t k = 0; k < size_t(count) * Channels; ++k)
        peak = std::max(peak, std::fabs(out[k]));
    m_peak = peak;
    const int keep = std::min(count, FadeFrames);
    for (int j = count - keep; j < count; ++j) {
        m_recent[size_t(m_recentAt) * Channels] = out[size_t(j) * Channels];
        m_recent[size_t(m_recentAt) * Channels + 1] = out[size_t(j) * Channels + 1];
        m_recentAt = m_recentAt + 1 == FadeFrames ? 0 : m_recentAt + 1;
    }
    m_count -= count;
    return true;
}

void Channel::read(float *out, int count)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (readSteady(out, count)) {
            m_framesRead += count;
            wake = m_writerWaiting;
        } else {
            wake = readFrames(out, count) > 0 && m_writerWaiting;
        }
    }
    if (wake)
        m_space.notify_one();
}

int Channel::readFrames(float *out, int count)
{
    const int available = std::min(count, m_count);
    float peak = m_peak;
    for (int i = 0; i < count; ++i) {
        float left = 0.0f;
        float right = 0.0f;
        nextFrame(i < available, left, right);
        out[size_t(i) * Channels] = left;
        out[size_t(i) * Channels + 1] = right;
        m_recent[size_t(m_recentAt) * Channels] = left;
        m_recent[size_t(m_recentAt) * Channels + 1] = right;
        m_recentAt = m_recentAt + 1 == FadeFrames ? 0 : m_recentAt + 1;
        peak = std::max({ peak, std::fabs(left), std::fabs(right) });
    }
    m_count -= available;
    m_peak = peak;
    m_framesRead += count;
    return available;
}

bool Channel::takePeak(float *peak)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_framesRead == 0)
        return false;
    *peak = m_peak;
    m_peak = 0.0f;
    m_framesRead = 0;
    return true;
}

int Channel::buffered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

} // namespace CVEngine
