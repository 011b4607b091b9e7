// A recording device through Qt Multimedia, retried while missing or failing.
#include "cvrecordinput_p.h"
#include "cvconverter_p.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QMediaDevices>
#include <QTimer>
#include <QtDebug>

namespace CVEngine {

namespace {

constexpr int RetryMs = 1000;
// What the device holds for us: small, as the audio is live.
constexpr qint64 DeviceBufferUs = 40000;

AVSampleFormat avFormat(QAudioFormat::SampleFormat format)
{
    switch (format) {
    case QAudioFormat::UInt8: return AV_SAMPLE_FMT_U8;
    case QAudioFormat::Int16: return AV_SAMPLE_FMT_S16;
    case QAudioFormat::Int32: return AV_SAMPLE_FMT_S32;
    case QAudioFormat::Float: return AV_SAMPLE_FMT_FLT;
    default: return AV_SAMPLE_FMT_NONE;
    }
}

// Lives in the record input's thread: opens the device, reads what it
// records and retries while it is missing or failing.
class Recorder : public QObject
{
public:
    Recorder(Channel *channel, QString name, int device, std::function<void(Channel::State)> setState,
             const std::atomic<bool> *abort)
        : m_channel(channel), m_name(std::move(name)), m_device(device), m_setState(std::move(setState)),
          m_abort(abort)
    {
        m_retry.setSingleShot(true);
        m_retry.setInterval(RetryMs);
        QObject::connect(&m_retry, &QTimer::timeout, this, [this] { open(); });
    }
    ~Recorder() override { close(); }

    void open()
    {
        close();
        m_setState(Channel::Connecting);
        const auto inputs = QMediaDevices::audioInputs();
        if (m_device < 0 || m_device >= inputs.size()) {
            if (!m_reportedMissing)
                qWarning() << m_name << "recording device" << m_device << "does not exist";
            m_reportedMissing = true;
            m_setState(Channel::Missing);
            m_retry.start();
            return;
        }
        m_reportedMissing = false;
        start(inputs.at(m_device));
    }

private:
    void start(const QAudioDevice &device)
    {
        QAudioFormat format;
        format.setSampleRate(SampleRate);
        format.setChannelCount(Channels);
        format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format))
            format = device.preferredFormat();
        m_format = format;
        m_source = new QAudioSource(device, format, this);
        m_source->setBufferSize(format.bytesForDuration(DeviceBufferUs));
        QObject::connect(m_source, &QAudioSource::stateChanged, this, [this](QAudio::State state) {
            if (m_source && state == QAudio::StoppedState && m_source->error() != QAudio::NoError)
                fail();
        });
        m_io = m_source->start();
        if (!m_io || m_source->error() != QAudio::NoError) {
            fail();
            return;
        }
        QObject::connect(m_io, &QIODevice::readyRead, this, [this] { readAvailable(); });
        qInfo() << m_name << "recording from" << device.description();
    }

    void close()
    {
        if (m_source) {
            m_source->disconnect(this);
            m_source->stop();
            delete m_source;
        }
        m_source = nullptr;
        m_io = nullptr;
    }

    void fail()
    {
        qWarning() << m_name << "recording device" << m_device << "failed";
        close();
        m_setState(Channel::Waiting);
        m_retry.start();
    }

    void readAvailable()
    {
        if (!m_io)
            return;
        const QByteArray bytes = m_io->readAll();
        const int bytesPerFrame = m_format.bytesPerFrame();
        const AVSampleFormat format = avFormat(m_format.sampleFormat());
        if (bytesPerFrame <= 0 || bytes.size() < bytesPerFrame || format == AV_SAMPLE_FMT_NONE)
            return;
        AVChannelLayout layout{};
        av_channel_layout_default(&layout, m_format.channelCount());
        const uint8_t *in = reinterpret_cast<const uint8_t *>(bytes.constData());
        const int n = m_converter.convert(&in, int(bytes.size() / bytesPerFrame), format, &layout,
                                          m_format.sampleRate());
        av_channel_layout_uninit(&layout);
        if (n <= 0)
            return;
        m_channel->write(m_converter.data(), n, *m_abort);
        m_setState(Channel::Streaming);
    }

    Channel *const m_channel;
    const QString m_name;
    const int m_device;
    std::function<void(Channel::State)> m_setState;
    const std::atomic<bool> *m_abort;
    QTimer m_retry;
    QAudioSource *m_source = nullptr;
    QIODevice *m_io = nullptr;
    QAudioFormat m_format;
    Converter m_converter;
    bool m_reportedMissing = false;
};

} // namespace

RecordInput::RecordInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, int device)
    : Input(std::move(channel), std::move(name), std::move(notify)), m_device(device)
{
    setObjectName(m_name + QStringLiteral(" recorder"));
}

void RecordInput::abort()
{
    Input::abort();
    quit();
}

void RecordInput::run()
{
    // Recording devices deliver in real time: never wait for the mixer.
    m_channel->setPaced(false);
    Recorder recorder(m_channel.get(), m_name, m_device, [this](Channel::State s) { setState(s); }, &m_abort);
    if (isAborted())
        return;
    recorder.open();
    exec();
}

} // namespace CVEngine
