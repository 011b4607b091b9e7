// The output device, or the clock that stands in for one, and its thread.
#include "cvoutput_p.h"
#include "cvmixer_p.h"

#include <QAudioSink>
#include <QIODevice>
#include <QtDebug>

#include <algorithm>
#include <cmath>

namespace CVEngine {

namespace {
// Ticks of the clock that stands in for a device.
constexpr int ClockTickMs = 10;
constexpr int ClockChunkFrames = 1024;
// After a long pause (a suspended machine) the clock does not catch up for ever.
constexpr qint64 MaxCatchUpFrames = SampleRate / 5;
// Not every backend says when a device goes: look this often as well.
constexpr int PresenceCheckMs = 1000;
constexpr int RetryOpenMs = 1000;
// Short enough that a switch is heard at once, long enough that a late timer
// on a busy machine does not leave a gap.
constexpr qint64 SinkBufferUs = 200000;
// The most a device gets in one pull: a second.
constexpr int MaxPullFrames = SampleRate;
} // namespace

// The device pulls mixed audio through this in the output thread.
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
        const int frames = int(std::min<qint64>(maxSize / frameBytes, MaxPullFrames));
        if (frames <= 0)
            return 0;
        if (m_format == QAudioFormat::Float) {
            auto *out = reinterpret_cast<float *>(data);
            Mixer::instance().render(out, frames, nowUs());
            for (int i = 0; i < frames * Channels; ++i)
                out[i] = std::clamp(out[i], -1.0f, 1.0f);
        } else {
            m_buffer.resize(size_t(frames) * Channels);
            Mixer::instance().render(m_buffer.data(), frames, nowUs());
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

// ---------------------------------------------------------------- Output

Output::Output()
{
    m_clock.setTimerType(Qt::PreciseTimer);
    m_clock.setInterval(ClockTickMs);
    QObject::connect(&m_clock, &QTimer::timeout, this, [this] { clockTick(); });
    QObject::connect(&m_devices, &QMediaDevices::audioOutputsChanged, this, [this] {
        checkDevicePresent();
        if (m_retry.isActive())
            tryOpen();
    });
    m_presence.setInterval(PresenceCheckMs);
    QObject::connect(&m_presence, &QTimer::timeout, this, [this] { checkDevicePresent(); });
    // A device that cannot be opened is tried again, quietly, until it
    // works; meanwhile the clock keeps every source playing and metered.
    m_retry.setInterval(RetryOpenMs);
    QObject::connect(&m_retry, &QTimer::timeout, this, [this] { tryOpen(); });
    startClock();
}

Output::~Output()
{
    closeDevice();
}

bool Output::openDevice(int number)
{
    m_wanted = number;
    m_quiet = false;
    return tryOpen();
}

namespace {
QAudioDevice outputNumbered(int number)
{
    if (number < 0)
        return QMediaDevices::defaultAudioOutput();
    const auto outputs = QMediaDevices::audioOutputs();
    return number - 1 < outputs.size() ? outputs.at(number - 1) : QAudioDevice();
}
} // namespace

bool Output::tryOpen()
{
    m_retry.stop();
    closeDevice();
    const int number = m_wanted;
    if (number == 0) {
        qInfo() << "Audio output: \"No sound\", mixing on the clock";
        ensureClock();
        return true;
    }
    const QAudioDevice device = outputNumbered(number);
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
    return startSink(device, format);
}

bool Output::startSink(const QAudioDevice &device, const QAudioFormat &format)
{
    m_clock.stop();
    m_io = new MixDevice(this);
    m_io->setFormat(format.sampleFormat());
    m_io->open(QIODevice::ReadOnly);
    m_sink = new QAudioSink(device, format, this);
    m_sink->setBufferSize(format.bytesForDuration(SinkBufferUs));
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

void Output::closeDevice()
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

void Output::useClock()
{
    m_retry.stop();
    closeDevice();
    startClock();
}

bool Output::retryLater()
{
    m_quiet = true;
    ensureClock();
    m_retry.start();
    return false;
}

void Output::ensureClock()
{
    if (!m_clock.isActive())
        startClock();
}

void Output::startClock()
{
    m_elapsed.start();
    m_rendered = 0;
    m_clock.start();
}

void Output::clockTick()
{
    qint64 due = m_elapsed.nsecsElapsed() * SampleRate / 1000000000 - m_rendered;
    if (due > MaxCatchUpFrames) {
        m_rendered += due - MaxCatchUpFrames;
        due = MaxCatchUpFrames;
    }
    const qint64 now = nowUs();
    while (due > 0) {
        const int n = int(std::min<qint64>(due, ClockChunkFrames));
        m_buffer.resize(size_t(n) * Channels);
        // The chunks of a late tick are due one after the other.
        Mixer::instance().render(m_buffer.data(), n, now - (due - n) * 1000000 / SampleRate);
        m_rendered += n;
        due -= n;
    }
}

void Output::handleSinkState(QAudio::State state)
{
    if (!m_sink)
        return;
    const QAudio::Error error = m_sink->error();
    if (state == QAudio::StoppedState && error != QAudio::NoError)
        fail(QStringLiteral("error %1").arg(int(error)));
}

void Output::checkDevicePresent()
{
    if (!m_sink)
        return;
    const auto outputs = QMediaDevices::audioOutputs();
    const bool present = std::any_of(outputs.cbegin(), outputs.cend(),
                                     [this](const QAudioDevice &d) { return d.id() == m_deviceId; });
    if (!present)
        fail(QStringLiteral("device removed"));
}

void Output::fail(const QString &why)
{
    qWarning() << "Audio output device failed:" << why << "- mixing on the clock";
    closeDevice();
    retryLater();
    Mixer::instance().reportDeviceFailure();
}

// ---------------------------------------------------------------- OutputThread

void OutputThread::enter(Phase phase)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_phase = phase;
    }
    m_changed.notify_all();
}

void OutputThread::startAndWait()
{
    enter(Starting);
    start(QThread::TimeCriticalPriority);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_phase == Running; });
}

void OutputThread::stopAndWait()
{
    quit();
    wait();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_phase == Finished; });
}

void OutputThread::run()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        Output output;
        m_output = &output;
        m_phase = Running;
        lock.unlock();
        m_changed.notify_all();
        exec();
        output.closeDevice();
        lock.lock();
        m_output = nullptr;
    }
    enter(Finished);
}

} // namespace CVEngine
