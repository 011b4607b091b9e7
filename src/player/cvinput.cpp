// The player's inputs: FFmpeg for streams, Qt Multimedia for recording devices.
#include "cvinput_p.h"
#include "cvreconnectdelay.h"
#include "cvurl.h"

#include <QAudioDevice>
#include <QAudioSource>
#include <QMediaDevices>
#include <QTimer>
#include <QtDebug>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>

namespace CVEngine {

namespace {

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// Any input format to 48 kHz stereo float, re-created when the input changes.
class Converter
{
public:
    ~Converter() { swr_free(&m_swr); }

    // Returns the number of output frames in data(), or -1 on failure.
    int convert(const uint8_t *const *in, int samples, AVSampleFormat format,
                const AVChannelLayout *layout, int rate)
    {
        if (!m_swr || format != m_format || rate != m_rate || av_channel_layout_compare(layout, &m_layout) != 0) {
            swr_free(&m_swr);
            av_channel_layout_uninit(&m_layout);
            if (layout->order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&m_layout, layout->nb_channels);
            else if (av_channel_layout_copy(&m_layout, layout) < 0)
                return -1;
            AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            if (swr_alloc_set_opts2(&m_swr, &stereo, AV_SAMPLE_FMT_FLT, SampleRate,
                                    &m_layout, format, rate, 0, nullptr) < 0)
                return -1;
            // Mono goes to both sides at full level (not 3 dB down), so the
            // meter reads what the input carries.
            if (m_layout.nb_channels == 1) {
                const double both[2] = {1.0, 1.0};
                swr_set_matrix(m_swr, both, 1);
            }
            if (swr_init(m_swr) < 0) {
                swr_free(&m_swr);
                return -1;
            }
            m_format = format;
            m_rate = rate;
            // Compare against what we were given, not the defaulted copy.
            av_channel_layout_uninit(&m_layout);
            av_channel_layout_copy(&m_layout, layout);
        }
        const int capacity = int(av_rescale_rnd(swr_get_delay(m_swr, rate) + samples, SampleRate, rate,
                                                AV_ROUND_UP)) + 16;
        if (m_out.size() < size_t(capacity) * Channels)
            m_out.resize(size_t(capacity) * Channels);
        uint8_t *out = reinterpret_cast<uint8_t *>(m_out.data());
        return swr_convert(m_swr, &out, capacity, const_cast<const uint8_t **>(in), samples);
    }
    [[nodiscard]] const float *data() const { return m_out.data(); }

private:
    SwrContext *m_swr = nullptr;
    AVSampleFormat m_format = AV_SAMPLE_FMT_NONE;
    int m_rate = 0;
    AVChannelLayout m_layout{};
    std::vector<float> m_out;
};

struct IoCloser { void operator()(AVIOContext *c) const { avio_closep(&c); } };
struct FormatCloser { void operator()(AVFormatContext *c) const { avformat_close_input(&c); } };
struct CodecFreer { void operator()(AVCodecContext *c) const { avcodec_free_context(&c); } };
struct PacketFreer { void operator()(AVPacket *p) const { av_packet_free(&p); } };
struct FrameFreer { void operator()(AVFrame *f) const { av_frame_free(&f); } };

const AVInputFormat *formatForMimeType(AVIOContext *io)
{
    uint8_t *value = nullptr;
    if (av_opt_get(io, "mime_type", AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value)
        return nullptr;
    const QByteArray mime = QByteArray(reinterpret_cast<const char *>(value)).split(';').value(0).trimmed().toLower();
    av_free(value);
    static const struct { const char *mime; const char *format; } known[] = {
        {"audio/mpeg", "mp3"}, {"audio/mp3", "mp3"}, {"audio/x-mpeg", "mp3"},
        {"audio/aac", "aac"}, {"audio/aacp", "aac"}, {"audio/x-aac", "aac"},
        {"application/ogg", "ogg"}, {"audio/ogg", "ogg"}, {"audio/x-ogg", "ogg"}, {"audio/opus", "ogg"},
        {"audio/flac", "flac"}, {"audio/x-flac", "flac"},
    };
    for (const auto &k : known)
        if (mime == k.mime)
            return av_find_input_format(k.format);
    return nullptr;
}

// Everything a decoder thread says goes through our log; FFmpeg's own
// messages may carry a URL with its credentials.
void silenceFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

} // namespace

// ---------------------------------------------------------------- Input

Input::Input(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify)
    : m_channel(std::move(channel)), m_name(std::move(name)), m_notify(std::move(notify))
{
}

Input::~Input()
{
    abort();
    wait();
}

void Input::abort()
{
    {
        std::lock_guard<std::mutex> lock(m_sleepMutex);
        m_abort.store(true);
    }
    m_sleep.notify_all();
}

void Input::setState(Channel::State state)
{
    if (m_channel->state() == state)
        return;
    m_channel->setState(state);
    if (m_notify)
        m_notify();
}

bool Input::sleepFor(int ms)
{
    std::unique_lock<std::mutex> lock(m_sleepMutex);
    m_sleep.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_abort.load(); });
    return !m_abort.load();
}

// ---------------------------------------------------------------- StreamInput

StreamInput::StreamInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, QUrl url)
    : Input(std::move(channel), std::move(name), std::move(notify)), m_url(std::move(url))
{
    setObjectName(m_name + QStringLiteral(" decoder"));
}

StreamInput::~StreamInput()
{
    StreamInput::abort();
    wait();
}

int StreamInput::interrupted(void *opaque)
{
    const auto *input = static_cast<StreamInput *>(opaque);
    return input->m_abort.load() || input->connectTimedOut() ? 1 : 0;
}

bool StreamInput::connectTimedOut() const
{
    const qint64 deadline = m_connectDeadlineMs.load();
    return deadline > 0 && nowMs() > deadline;
}

// A server that stays down is tried every 2 s: the same line is said at
// most once a minute, so a dead stream cannot flood the log.
template<typename... Items>
void StreamInput::say(QtMsgType type, const Items &...items)
{
    QString text;
    {
        QDebug line(&text);
        line << m_name;
        ((line << items), ...);
    }
    const qint64 now = nowMs();
    const auto said = m_said.constFind(text);
    if (said != m_said.cend() && now - *said < 60000)
        return;
    if (m_said.size() > 32)
        m_said.clear();
    m_said.insert(text, now);
    if (type == QtWarningMsg)
        qWarning().noquote() << text;
    else
        qInfo().noquote() << text;
}

void StreamInput::run()
{
    silenceFfmpeg();
    int delayMs = 0;
    while (!isAborted()) {
        setState(Channel::Connecting);
        qint64 audioMs = 0;
        session(&audioMs);
        if (isAborted())
            break;
        setState(Channel::Waiting);
        delayMs = reconnectDelayMs(delayMs, audioMs);
        say(QtInfoMsg, "reconnecting in", delayMs, "ms");
        if (!sleepFor(delayMs))
            break;
    }
}

void StreamInput::session(qint64 *audioMs)
{
    const QString shownUrl = CVUrl::forLog(m_url);
    say(QtInfoMsg, "connecting to", shownUrl);
    // A server that never finishes its header (or trickles it) is left in
    // the end, like one that does not answer.
    m_connectDeadlineMs.store(nowMs() + ConnectTimeoutMs);
    const auto why = [this](int code) {
        return connectTimedOut() ? QStringLiteral("no audio within %1 ms").arg(ConnectTimeoutMs) : avError(code);
    };

    AVIOInterruptCB interrupt{&StreamInput::interrupted, this};
    AVDictionary *ioOptions = nullptr;
    av_dict_set(&ioOptions, "rw_timeout", QByteArray::number(qint64(ReadTimeoutMs) * 1000).constData(), 0);
    // Redirects, too, stay on the network.
    av_dict_set(&ioOptions, "protocol_whitelist", "http,https,tcp,tls", 0);
    av_dict_set(&ioOptions, "user_agent", "Ondaline/" ONDALINE_VERSION, 0);
    // Credentials in the URL go as basic authentication from the first request.
    if (!m_url.userInfo().isEmpty())
        av_dict_set(&ioOptions, "auth_type", "basic", 0);
    const QByteArray url = m_url.toEncoded();
    AVIOContext *rawIo = nullptr;
    int rc = avio_open2(&rawIo, url.constData(), AVIO_FLAG_READ, &interrupt, &ioOptions);
    av_dict_free(&ioOptions);
    if (rc < 0) {
        if (!isAborted())
            say(QtWarningMsg, "cannot open", shownUrl, ":", why(rc));
        return;
    }
    std::unique_ptr<AVIOContext, IoCloser> io(rawIo);

    // The server's content type names the format: probing every demuxer
    // (some backed by large libraries) costs memory and time per stream.
    const AVInputFormat *inputFormat = formatForMimeType(io.get());
    if (!inputFormat) {
        rc = av_probe_input_buffer2(io.get(), &inputFormat, url.constData(), nullptr, 0, 32768);
        if (rc < 0 || !inputFormat) {
            if (!isAborted())
                say(QtWarningMsg, "unknown format at", shownUrl, ":", why(rc));
            return;
        }
    }

    AVFormatContext *raw = avformat_alloc_context();
    if (!raw)
        return;
    raw->interrupt_callback = interrupt;
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary *options = nullptr;
    av_dict_set(&options, "probesize", "65536", 0);
    av_dict_set(&options, "analyzeduration", "1000000", 0);
    av_dict_set(&options, "format_whitelist", "mp3,aac,ogg,flac,wav,matroska,webm,mov,mp4,m4a", 0);
    rc = avformat_open_input(&raw, url.constData(), inputFormat, &options);
    av_dict_free(&options);
    if (rc < 0) {
        if (!isAborted())
            say(QtWarningMsg, "cannot read", shownUrl, ":", why(rc));
        return;
    }
    std::unique_ptr<AVFormatContext, FormatCloser> format(raw);

    // Most audio formats describe themselves in their header; looking
    // further would decode ahead with a second decoder.
    const bool described = std::any_of(format->streams, format->streams + format->nb_streams, [](AVStream *s) {
        return s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && s->codecpar->codec_id != AV_CODEC_ID_NONE
               && s->codecpar->sample_rate > 0 && s->codecpar->ch_layout.nb_channels > 0;
    });
    if (!described) {
        rc = avformat_find_stream_info(format.get(), nullptr);
        if (rc < 0) {
            if (!isAborted())
                say(QtWarningMsg, "no stream information in", shownUrl, ":", why(rc));
            return;
        }
    }
    const AVCodec *codec = nullptr;
    const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (index < 0 || !codec) {
        say(QtWarningMsg, "no audio in", shownUrl);
        return;
    }
    std::unique_ptr<AVCodecContext, CodecFreer> decoder(avcodec_alloc_context3(codec));
    if (!decoder
        || avcodec_parameters_to_context(decoder.get(), format->streams[index]->codecpar) < 0
        || avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        say(QtWarningMsg, "cannot decode", codec->name, "from", shownUrl);
        return;
    }
    // Whatever can seek (a file on a web server) is read faster than real time: pace it by
    // the output clock. A live stream must be read as it comes, or its end
    // would go unnoticed behind a full buffer.
    const bool paced = format->pb && (format->pb->seekable & AVIO_SEEKABLE_NORMAL);
    m_channel->setPaced(paced);
    m_said.clear();
    qInfo() << m_name << "playing" << shownUrl << "(" << format->iformat->name << codec->name
            << decoder->sample_rate << "Hz )";

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    Converter converter;
    int badPackets = 0;
    qint64 firstAudio = 0;
    while (!isAborted()) {
        rc = av_read_frame(format.get(), packet.get());
        if (rc < 0)
            break;
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        rc = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (rc < 0 && rc != AVERROR(EAGAIN)) {
            // A damaged frame is skipped; a stream of nothing but damage is dropped.
            if (++badPackets > 50) {
                say(QtWarningMsg, "undecodable data from", shownUrl);
                return;
            }
            continue;
        }
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            const int n = converter.convert(frame->extended_data, frame->nb_samples,
                                            AVSampleFormat(frame->format), &frame->ch_layout,
                                            frame->sample_rate);
            av_frame_unref(frame.get());
            if (n < 0) {
                say(QtWarningMsg, "cannot convert the audio of", shownUrl);
                return;
            }
            if (n == 0)
                continue;
            badPackets = 0;
            if (!m_channel->write(converter.data(), n, m_abort))
                return;
            if (firstAudio == 0) {
                firstAudio = nowMs();
                m_connectDeadlineMs.store(0);
            }
            *audioMs = nowMs() - firstAudio;
            setState(Channel::Streaming);
        }
    }
    if (isAborted())
        return;
    if (rc == AVERROR_EOF)
        qInfo() << m_name << "end of stream" << shownUrl;
    else
        say(QtWarningMsg, "stream", shownUrl, "failed:", why(rc));
}

// ---------------------------------------------------------------- RecordInput

namespace {

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
        m_retry.setInterval(1000);
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
        const QAudioDevice device = inputs.at(m_device);
        QAudioFormat format;
        format.setSampleRate(SampleRate);
        format.setChannelCount(Channels);
        format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format))
            format = device.preferredFormat();
        m_format = format;
        m_source = new QAudioSource(device, format, this);
        m_source->setBufferSize(format.bytesForDuration(40000));
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

private:
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
        if (bytesPerFrame <= 0 || bytes.size() < bytesPerFrame)
            return;
        AVSampleFormat format = AV_SAMPLE_FMT_NONE;
        switch (m_format.sampleFormat()) {
        case QAudioFormat::UInt8: format = AV_SAMPLE_FMT_U8; break;
        case QAudioFormat::Int16: format = AV_SAMPLE_FMT_S16; break;
        case QAudioFormat::Int32: format = AV_SAMPLE_FMT_S32; break;
        case QAudioFormat::Float: format = AV_SAMPLE_FMT_FLT; break;
        default: return;
        }
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

RecordInput::~RecordInput()
{
    RecordInput::abort();
    wait();
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
