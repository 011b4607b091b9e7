// The output engine: channels, the mixer and its device or clock.
#include "cvengine_p.h"
#include "cvplayer.h"
#include "cvqueuedcall.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace CVEngine {

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------- Channel

Channel::Channel(CVPlayerSource *owner, int capacityFrames)
    : m_owner(owner), m_capacity(std::max(capacityFrames, 1)),
      m_ring(size_t(std::max(capacityFrames, 1)) * Channels, 0.0f),
      m_recent(size_t(FadeFrames) * Channels, 0.0f), m_tail(size_t(FadeFrames) * Channels, 0.0f)
{
}

void Channel::setVolume(float v, qint64 atUs)
{
    m_volume.store(v);
    std::lock_guard<std::mutex> lock(m_mutex);
    // Only the last value matters when the mixer falls far behind.
    if (m_volumeChanges.size() >= 16)
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
            m_space.wait_for(lock, std::chrono::milliseconds(50));
            m_writerWaiting = false;
            if (abort.load())
                return false;
            continue;
        }
        int chunk = std::min(count, m_capacity);
        if (!m_paced.load()) {
            // Too far behind (a server's burst on connect, or a clock that
            // runs fast): skip down to half the ring in one jump. Trimming
            // just the excess would keep the ring full and drop a little on
            // every burst, a click each time.
            if (m_count + chunk > m_capacity) {
                const int drop = std::min(m_count, m_count + chunk - m_capacity / 2);
                if (!m_dry && drop > 0) {
                    // Fade out what the reader would have played next while
                    // the audio after the jump fades in.
                    m_tailLength = std::min(drop, FadeFrames);
                    m_tailAt = 0;
                    for (int j = 0; j < m_tailLength; ++j) {
                        const size_t from = size_t((m_head + j) % m_capacity) * Channels;
                        m_tail[size_t(j) * Channels] = m_ring[from];
                        m_tail[size_t(j) * Channels + 1] = m_ring[from + 1];
                    }
                    m_fadeIn = 0;
                }
                m_head = (m_head + drop) % m_capacity;
                m_count -= drop;
            }
        } else {
            chunk = std::min(chunk, m_capacity - m_count);
        }
        int tail = (m_head + m_count) % m_capacity;
        int done = 0;
        while (done < chunk) {
            const int n = std::min(chunk - done, m_capacity - tail);
            std::memcpy(&m_ring[size_t(tail) * Channels], frames + size_t(done) * Channels,
                        size_t(n) * Channels * sizeof(float));
            done += n;
            tail = (tail + n) % m_capacity;
        }
        m_count += chunk;
        frames += size_t(chunk) * Channels;
        count -= chunk;
        m_lastDataMs.store(nowMs());
    }
    return true;
}

void Channel::read(float *out, int count)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int available = std::min(count, m_count);
        float peak = m_peak;
        for (int i = 0; i < count; ++i) {
            float left = 0.0f;
            float right = 0.0f;
            if (i < available) {
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
                // Run dry: play the last frames backwards while fading out,
                // which continues the wave where it stopped.
                m_dry = true;
                m_fadeIn = 0;
                m_tailLength = FadeFrames;
                m_tailAt = 0;
                for (int j = 0; j < FadeFrames; ++j) {
                    const size_t from = size_t((m_recentAt + FadeFrames - 1 - j) % FadeFrames) * Channels;
                    m_tail[size_t(j) * Channels] = m_recent[from];
                    m_tail[size_t(j) * Channels + 1] = m_recent[from + 1];
                }
            }
            if (m_tailAt < m_tailLength) {
                const float g = float(m_tailLength - m_tailAt) / float(m_tailLength + 1);
                left += m_tail[size_t(m_tailAt) * Channels] * g;
                right += m_tail[size_t(m_tailAt) * Channels + 1] * g;
                ++m_tailAt;
            }
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
        wake = m_writerWaiting && available > 0;
    }
    if (wake)
        m_space.notify_one();
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

// ---------------------------------------------------------------- Mixer

namespace {

// The device pulls mixed audio through this in the mixer thread.
class MixDevice : public QIODevice
{
public:
    explicit MixDevice(QObject *parent) : QIODevice(parent) {}
    void setFormat(QAudioFormat::SampleFormat format) { m_format = format; }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const int bytesPerSample = m_format == QAudioFormat::Float ? 4 : 2;
        const qint64 frameBytes = qint64(bytesPerSample) * Channels;
        const int frames = int(std::min<qint64>(maxSize / frameBytes, SampleRate));
        if (frames <= 0)
            return 0;
        if (m_format == QAudioFormat::Float) {
            auto *out = reinterpret_cast<float *>(data);
            Engine::instance().render(out, frames);
            for (int i = 0; i < frames * Channels; ++i)
                out[i] = std::clamp(out[i], -1.0f, 1.0f);
        } else {
            m_buffer.resize(size_t(frames) * Channels);
            Engine::instance().render(m_buffer.data(), frames);
            auto *out = reinterpret_cast<qint16 *>(data);
            for (int i = 0; i < frames * Channels; ++i)
                out[i] = qint16(std::lrint(std::clamp(m_buffer[size_t(i)], -1.0f, 1.0f) * 32767.0f));
        }
        return frames * frameBytes;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QAudioFormat::SampleFormat m_format = QAudioFormat::Float;
    std::vector<float> m_buffer;
};

class Mixer : public QObject
{
public:
    Mixer()
    {
        m_clock.setTimerType(Qt::PreciseTimer);
        m_clock.setInterval(10);
        QObject::connect(&m_clock, &QTimer::timeout, this, [this] { clockTick(); });
        QObject::connect(&m_devices, &QMediaDevices::audioOutputsChanged, this, [this] {
            checkDevicePresent();
            if (m_retry.isActive())
                tryOpen();
        });
        // Not every backend says when a device goes: look as well.
        m_presence.setInterval(1000);
        QObject::connect(&m_presence, &QTimer::timeout, this, [this] { checkDevicePresent(); });
        // A device that cannot be opened is tried again, quietly, until it
        // works; meanwhile the clock keeps every source playing and metered.
        m_retry.setInterval(1000);
        QObject::connect(&m_retry, &QTimer::timeout, this, [this] { tryOpen(); });
        startClock();
    }
    ~Mixer() override { closeDevice(); }

    bool openDevice(int number)
    {
        m_wanted = number;
        m_quiet = false;
        return tryOpen();
    }

    bool tryOpen()
    {
        m_retry.stop();
        closeDevice();
        const int number = m_wanted;
        if (number == 0) {
            qInfo() << "Audio output: \"No sound\", mixing on the clock";
            ensureClock();
            return true;
        }
        QAudioDevice device;
        if (number < 0) {
            device = QMediaDevices::defaultAudioOutput();
        } else {
            const auto outputs = QMediaDevices::audioOutputs();
            if (number - 1 < outputs.size())
                device = outputs.at(number - 1);
        }
        if (device.isNull()) {
            if (!m_quiet)
                qWarning() << "Audio output device" << number << "does not exist, mixing on the clock";
            return retryLater();
        }
        QAudioFormat format;
        format.setSampleRate(SampleRate);
        format.setChannelCount(Channels);
        format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format))
            format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) {
            if (!m_quiet)
                qWarning() << "Audio output device" << device.description()
                           << "accepts no 48 kHz stereo format, mixing on the clock";
            return retryLater();
        }
        m_clock.stop();
        m_io = new MixDevice(this);
        m_io->setFormat(format.sampleFormat());
        m_io->open(QIODevice::ReadOnly);
        m_sink = new QAudioSink(device, format, this);
        // Short enough that a switch is heard at once, long enough that a
        // late timer on a busy machine does not leave a gap.
        m_sink->setBufferSize(format.bytesForDuration(200000));
        QObject::connect(m_sink, &QAudioSink::stateChanged, this,
                         [this](QAudio::State state) { handleSinkState(state); });
        m_deviceId = device.id();
        m_sink->start(m_io);
        if (m_sink->error() != QAudio::NoError || m_sink->state() == QAudio::StoppedState) {
            if (!m_quiet)
                qWarning() << "Audio output device" << device.description()
                           << "failed to open, mixing on the clock";
            closeDevice();
            return retryLater();
        }
        m_presence.start();
        m_quiet = false;
        qInfo() << "Audio output:" << device.description();
        return true;
    }

    void closeDevice()
    {
        m_presence.stop();
        if (m_sink) {
            m_sink->disconnect(this);
            m_sink->stop();
            delete m_sink;
            m_sink = nullptr;
        }
        if (m_io) {
            delete m_io;
            m_io = nullptr;
        }
        m_deviceId.clear();
    }

    void useClock()
    {
        m_retry.stop();
        closeDevice();
        startClock();
    }

private:
    bool retryLater()
    {
        m_quiet = true;
        ensureClock();
        m_retry.start();
        return false;
    }

    void ensureClock()
    {
        if (!m_clock.isActive())
            startClock();
    }

    void startClock()
    {
        m_elapsed.start();
        m_rendered = 0;
        m_clock.start();
    }

    void clockTick()
    {
        qint64 due = m_elapsed.nsecsElapsed() * SampleRate / 1000000000 - m_rendered;
        // After a long pause (a suspended machine) do not catch up for ever.
        if (due > SampleRate / 5) {
            m_rendered += due - SampleRate / 5;
            due = SampleRate / 5;
        }
        const qint64 now = nowUs();
        while (due > 0) {
            const int n = int(std::min<qint64>(due, 1024));
            m_buffer.resize(size_t(n) * Channels);
            // The chunks of a late tick are due one after the other.
            Engine::instance().render(m_buffer.data(), n, now - (due - n) * 1000000 / SampleRate);
            m_rendered += n;
            due -= n;
        }
    }

    void handleSinkState(QAudio::State state)
    {
        if (!m_sink)
            return;
        const QAudio::Error error = m_sink->error();
        if (state == QAudio::StoppedState && error != QAudio::NoError)
            fail(QStringLiteral("error %1").arg(int(error)));
    }

    void checkDevicePresent()
    {
        if (!m_sink)
            return;
        const auto outputs = QMediaDevices::audioOutputs();
        const bool present = std::any_of(outputs.cbegin(), outputs.cend(),
                                         [this](const QAudioDevice &d) { return d.id() == m_deviceId; });
        if (!present)
            fail(QStringLiteral("device removed"));
    }

    void fail(const QString &why)
    {
        qWarning() << "Audio output device failed:" << why << "- mixing on the clock";
        closeDevice();
        retryLater();
        Engine::instance().reportDeviceFailure();
    }

    QMediaDevices m_devices;
    QTimer m_clock;
    QTimer m_presence;
    QTimer m_retry;
    int m_wanted = 0;
    bool m_quiet = false;
    QElapsedTimer m_elapsed;
    qint64 m_rendered = 0;
    std::vector<float> m_buffer;
    QAudioSink *m_sink = nullptr;
    MixDevice *m_io = nullptr;
    QByteArray m_deviceId;
};

} // namespace

class MixerThread : public QThread
{
public:
    MixerThread() { setObjectName(QStringLiteral("Audio mixer")); }

    // Runs `f` on the mixer in its thread and waits for it.
    template<typename F>
    void call(F f)
    {
        CVQueuedCall::postAndWait(m_mixer, [this, &f] { f(*m_mixer); });
    }
    // Start and end are handed over through a standard mutex rather than
    // Qt's own waits, so that a race checker sees the order: a mixer thread
    // that replaces another uses the engine's mixer state after it.
    void startAndWait()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_phase = Starting;
        }
        start(QThread::TimeCriticalPriority);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_phase == Running; });
    }
    void stopAndWait()
    {
        quit();
        wait();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_phase == Finished; });
    }

protected:
    void run() override
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            Mixer mixer;
            m_mixer = &mixer;
            m_phase = Running;
            lock.unlock();
            m_changed.notify_all();
            exec();
            mixer.closeDevice();
            lock.lock();
            m_mixer = nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_phase = Finished;
        }
        m_changed.notify_all();
    }

private:
    enum Phase { Starting, Running, Finished };
    Mixer *m_mixer = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Phase m_phase = Starting;
};

// ---------------------------------------------------------------- Engine

Engine &Engine::instance()
{
    static Engine engine;
    return engine;
}

Engine::~Engine()
{
    shutdown();
}

static void shutdownEngine()
{
    Engine::instance().shutdown();
}

void Engine::ensureRunning()
{
    if (m_thread)
        return;
    static bool postRoutineAdded = false;
    if (!postRoutineAdded && QCoreApplication::instance()) {
        // The device must close while Qt is still there.
        qAddPostRoutine(shutdownEngine);
        postRoutineAdded = true;
    }
    m_thread = std::make_unique<MixerThread>();
    m_thread->startAndWait();
}

void Engine::stopIfIdle()
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

bool Engine::init(int device)
{
    QMutexLocker lock(&m_control);
    m_wantDevice = true;
    m_device = device;
    ensureRunning();
    bool ok = false;
    m_thread->call([&ok, device](Mixer &mixer) { ok = mixer.openDevice(device); });
    return ok;
}

void Engine::free()
{
    QMutexLocker lock(&m_control);
    m_wantDevice = false;
    if (!m_thread)
        return;
    m_thread->call([](Mixer &mixer) { mixer.useClock(); });
    stopIfIdle();
}

void Engine::shutdown()
{
    QMutexLocker lock(&m_control);
    m_wantDevice = false;
    if (!m_thread)
        return;
    m_thread->stopAndWait();
    m_thread.reset();
}

void Engine::addChannel(const std::shared_ptr<Channel> &channel)
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

void Engine::removeChannel(const std::shared_ptr<Channel> &channel)
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

void Engine::render(float *out, int frames, qint64 endUs)
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

// Called with the list locked: channels leave the list before their player
// dies, so the owner is alive while the call is posted (Qt drops the call
// if the owner dies later).
void Engine::postDeviceFailure(CVPlayerSource *owner)
{
    if (owner)
        CVQueuedCall::post(owner, [owner] { emit owner->deviceFailure(); });
}

void Engine::reportDeviceFailure()
{
    std::lock_guard<std::mutex> lock(m_listMutex);
    for (const auto &ch : m_channels)
        postDeviceFailure(ch->owner());
}

} // namespace CVEngine
