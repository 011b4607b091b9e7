// The output engine: channels, the mixer and its device or clock.
#include "cvengine_p.h"
#include "cvplayer.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QSemaphore>
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

// ---------------------------------------------------------------- Channel

Channel::Channel(CVPlayerSource *owner, int capacityFrames)
    : m_owner(owner), m_capacity(std::max(capacityFrames, 1)),
      m_ring(size_t(std::max(capacityFrames, 1)) * Channels, 0.0f)
{
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
        int done = 0;
        while (done < available) {
            const int n = std::min(available - done, m_capacity - m_head);
            const float *src = &m_ring[size_t(m_head) * Channels];
            float *dst = out + size_t(done) * Channels;
            for (int i = 0; i < n * Channels; ++i) {
                dst[i] = src[i];
                peak = std::max(peak, std::fabs(src[i]));
            }
            done += n;
            m_head = (m_head + n) % m_capacity;
        }
        m_count -= available;
        m_peak = peak;
        m_framesRead += count;
        wake = m_writerWaiting && available > 0;
        if (available < count)
            std::memset(out + size_t(available) * Channels, 0,
                        size_t(count - available) * Channels * sizeof(float));
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
        QObject::connect(&m_devices, &QMediaDevices::audioOutputsChanged, this,
                         [this] { checkDevicePresent(); });
        // Not every backend says when a device goes: look as well.
        m_presence.setInterval(1000);
        QObject::connect(&m_presence, &QTimer::timeout, this, [this] { checkDevicePresent(); });
        startClock();
    }
    ~Mixer() override { closeDevice(); }

    bool openDevice(int number)
    {
        closeDevice();
        if (number == 0) {
            qInfo() << "Audio output: \"No sound\", mixing on the clock";
            startClock();
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
            qWarning() << "Audio output device" << number << "does not exist, mixing on the clock";
            startClock();
            return false;
        }
        QAudioFormat format;
        format.setSampleRate(SampleRate);
        format.setChannelCount(Channels);
        format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format))
            format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) {
            qWarning() << "Audio output device" << device.description()
                       << "accepts no 48 kHz stereo format, mixing on the clock";
            startClock();
            return false;
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
            qWarning() << "Audio output device" << device.description()
                       << "failed to open, mixing on the clock";
            closeDevice();
            startClock();
            return false;
        }
        m_presence.start();
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
        closeDevice();
        startClock();
    }

private:
    void startClock()
    {
        m_elapsed.start();
        m_rendered = 0;
        if (!m_clock.isActive())
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
        while (due > 0) {
            const int n = int(std::min<qint64>(due, 1024));
            m_buffer.resize(size_t(n) * Channels);
            Engine::instance().render(m_buffer.data(), n);
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
        startClock();
        Engine::instance().reportDeviceFailure();
    }

    QMediaDevices m_devices;
    QTimer m_clock;
    QTimer m_presence;
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
        QMetaObject::invokeMethod(m_mixer, [this, f] { f(*m_mixer); }, Qt::BlockingQueuedConnection);
    }
    void startAndWait()
    {
        start(QThread::TimeCriticalPriority);
        m_ready.acquire();
    }

protected:
    void run() override
    {
        Mixer mixer;
        m_mixer = &mixer;
        m_ready.release();
        exec();
        mixer.closeDevice();
        m_mixer = nullptr;
    }

private:
    Mixer *m_mixer = nullptr;
    QSemaphore m_ready;
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
    m_thread->quit();
    m_thread->wait();
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
    m_deviceFailed.store(!ok);
    if (!ok)
        reportDeviceFailure();
    return ok;
}

void Engine::free()
{
    QMutexLocker lock(&m_control);
    m_wantDevice = false;
    m_deviceFailed.store(false);
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
    m_thread->quit();
    m_thread->wait();
    m_thread.reset();
}

void Engine::addChannel(const std::shared_ptr<Channel> &channel)
{
    {
        std::lock_guard<std::mutex> lock(m_listMutex);
        if (std::find(m_channels.begin(), m_channels.end(), channel) != m_channels.end())
            return;
        m_channels.push_back(channel);
        if (m_deviceFailed.load())
            postDeviceFailure(channel->owner());
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

void Engine::render(float *out, int frames)
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
        const float target = ch->volume();
        if (target != ch->gainTarget) {
            ch->gainTarget = target;
            ch->gainStep = std::fabs(target - ch->gain) / RampFrames;
        }
        int i = 0;
        for (; i < frames && ch->gain != ch->gainTarget; ++i) {
            if (ch->gain < ch->gainTarget)
                ch->gain = std::min(ch->gainTarget, ch->gain + ch->gainStep);
            else
                ch->gain = std::max(ch->gainTarget, ch->gain - ch->gainStep);
            out[2 * i] += in[2 * i] * ch->gain;
            out[2 * i + 1] += in[2 * i + 1] * ch->gain;
        }
        const float g = ch->gain;
        if (g == 0.0f)
            continue;
        for (size_t k = size_t(i) * Channels; k < samples; ++k)
            out[k] += in[k] * g;
    }
    m_snapshot.clear();
}

// Called with the list locked: channels leave the list before their player
// dies, so the owner is alive while the call is posted (Qt drops the call
// if the owner dies later).
void Engine::postDeviceFailure(CVPlayerSource *owner)
{
    if (owner)
        QMetaObject::invokeMethod(owner, [owner] { emit owner->deviceFailure(); }, Qt::QueuedConnection);
}

void Engine::reportDeviceFailure()
{
    m_deviceFailed.store(true);
    std::lock_guard<std::mutex> lock(m_listMutex);
    for (const auto &ch : m_channels)
        postDeviceFailure(ch->owner());
}

} // namespace CVEngine
