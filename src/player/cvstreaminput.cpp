// A network (or file) stream decoded with FFmpeg: connect, find the format,
// open the decoder, decode into the channel; after the end, connect again.
#include "cvstreaminput_p.h"
#include "cvconverter_p.h"
#include "cvreconnectdelay.h"
#include "cvurl.h"

#include <QtDebug>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <algorithm>

namespace CVEngine {

namespace {

// Redirects, too, stay on the network.
constexpr char NetworkProtocols[] = "http,https,tcp,tls";
constexpr char AudioFormats[] = "mp3,aac,ogg,flac,wav,matroska,webm,mov,mp4,m4a";
// How much of a stream without a known content type is looked at to name its format.
constexpr int FormatProbeBytes = 32768;
// How much the demuxer reads, and how far it looks, to describe the streams.
constexpr int HeaderProbeBytes = 65536;
constexpr int HeaderAnalyzeUs = 1000000;
// A damaged frame is skipped; this many in a row drop the stream.
constexpr int MaxBadPackets = 50;
// A server that stays down is tried every 2 s: the same line is said at most
// once this often, so a dead stream cannot flood the log.
constexpr qint64 SayAgainAfterMs = 60000;
constexpr int MaxRememberedLines = 32;

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

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

// Most audio formats describe themselves in their header; looking further
// would decode ahead with a second decoder.
bool describesItsAudio(const AVFormatContext *format)
{
    return std::any_of(format->streams, format->streams + format->nb_streams, [](const AVStream *s) {
        return s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && s->codecpar->codec_id != AV_CODEC_ID_NONE
               && s->codecpar->sample_rate > 0 && s->codecpar->ch_layout.nb_channels > 0;
    });
}

// Everything a decoder thread says goes through our log; FFmpeg's own
// messages may carry a URL with its credentials.
void silenceFfmpeg()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

} // namespace

// One connection's state; torn down in reverse, the I/O last.
struct StreamInput::Session
{
    QByteArray url;
    AVIOInterruptCB interrupt{};
    std::unique_ptr<AVIOContext, IoCloser> io;
    const AVInputFormat *inputFormat = nullptr;
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    int streamIndex = -1;
    const AVCodec *codec = nullptr;
    std::unique_ptr<AVCodecContext, CodecFreer> decoder;
    std::unique_ptr<AVPacket, PacketFreer> packet;
    std::unique_ptr<AVFrame, FrameFreer> frame;
    Converter converter;
    int badPackets = 0;
};

StreamInput::StreamInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, QUrl url)
    : Input(std::move(channel), std::move(name), std::move(notify)), m_url(std::move(url)),
      m_shownUrl(CVUrl::forLog(m_url))
{
    setObjectName(m_name + QStringLiteral(" decoder"));
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

QString StreamInput::why(int code) const
{
    return connectTimedOut() ? QStringLiteral("no audio within %1 ms").arg(ConnectTimeoutMs) : avError(code);
}

// A step that failed because the input was told to stop says nothing.
void StreamInput::sayFailed(const char *what, int code)
{
    if (!isAborted())
        say(QtWarningMsg, what, m_shownUrl, ":", why(code));
}

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
    if (said != m_said.cend() && now - *said < SayAgainAfterMs)
        return;
    if (m_said.size() > MaxRememberedLines)
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
    say(QtInfoMsg, "connecting to", m_shownUrl);
    // A server that never finishes its header (or trickles it) is left in
    // the end, like one that does not answer.
    m_connectDeadlineMs.store(nowMs() + ConnectTimeoutMs);
    Session s;
    s.url = m_url.toEncoded();
    s.interrupt = {&StreamInput::interrupted, this};
    if (open(s) && probe(s) && openDecoder(s))
        decode(s, audioMs);
}

bool StreamInput::open(Session &s)
{
    AVDictionary *options = nullptr;
    av_dict_set(&options, "rw_timeout", QByteArray::number(qint64(ReadTimeoutMs) * 1000).constData(), 0);
    av_dict_set(&options, "protocol_whitelist", NetworkProtocols, 0);
    av_dict_set(&options, "user_agent", "Ondaline/" ONDALINE_VERSION, 0);
    // Credentials in the URL go as basic authentication from the first request.
    if (!m_url.userInfo().isEmpty())
        av_dict_set(&options, "auth_type", "basic", 0);
    AVIOContext *io = nullptr;
    const int rc = avio_open2(&io, s.url.constData(), AVIO_FLAG_READ, &s.interrupt, &options);
    av_dict_free(&options);
    if (rc < 0) {
        sayFailed("cannot open", rc);
        return false;
    }
    s.io.reset(io);
    return true;
}

bool StreamInput::probe(Session &s)
{
    // The server's content type names the format: probing every demuxer
    // (some backed by large libraries) costs memory and time per stream.
    s.inputFormat = formatForMimeType(s.io.get());
    if (!s.inputFormat) {
        const int rc = av_probe_input_buffer2(s.io.get(), &s.inputFormat, s.url.constData(), nullptr, 0,
                                              FormatProbeBytes);
        if (rc < 0 || !s.inputFormat) {
            sayFailed("unknown format at", rc);
            return false;
        }
    }
    AVFormatContext *format = avformat_alloc_context();
    if (!format)
        return false;
    format->interrupt_callback = s.interrupt;
    format->pb = s.io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary *options = nullptr;
    av_dict_set_int(&options, "probesize", HeaderProbeBytes, 0);
    av_dict_set_int(&options, "analyzeduration", HeaderAnalyzeUs, 0);
    av_dict_set(&options, "format_whitelist", AudioFormats, 0);
    int rc = avformat_open_input(&format, s.url.constData(), s.inputFormat, &options);
    av_dict_free(&options);
    if (rc < 0) {
        sayFailed("cannot read", rc);
        return false;
    }
    s.format.reset(format);
    if (!describesItsAudio(format) && (rc = avformat_find_stream_info(format, nullptr)) < 0) {
        sayFailed("no stream information in", rc);
        return false;
    }
    return true;
}

bool StreamInput::openDecoder(Session &s)
{
    s.streamIndex = av_find_best_stream(s.format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &s.codec, 0);
    if (s.streamIndex < 0 || !s.codec) {
        say(QtWarningMsg, "no audio in", m_shownUrl);
        return false;
    }
    s.decoder.reset(avcodec_alloc_context3(s.codec));
    if (!s.decoder
        || avcodec_parameters_to_context(s.decoder.get(), s.format->streams[s.streamIndex]->codecpar) < 0
        || avcodec_open2(s.decoder.get(), s.codec, nullptr) < 0) {
        say(QtWarningMsg, "cannot decode", s.codec->name, "from", m_shownUrl);
        return false;
    }
    s.packet.reset(av_packet_alloc());
    s.frame.reset(av_frame_alloc());
    if (!s.packet || !s.frame)
        return false;
    // Whatever can seek (a file on a web server) is read faster than real
    // time: pace it by the output clock. A live stream must be read as it
    // comes, or its end would go unnoticed behind a full buffer.
    const AVIOContext *pb = s.format->pb;
    m_channel->setPaced(pb && (pb->seekable & AVIO_SEEKABLE_NORMAL));
    m_said.clear();
    qInfo() << m_name << "playing" << m_shownUrl << "(" << s.format->iformat->name << s.codec->name
            << s.decoder->sample_rate << "Hz )";
    return true;
}

void StreamInput::decode(Session &s, qint64 *audioMs)
{
    int rc = 0;
    qint64 firstAudioMs = 0;
    while (!isAborted()) {
        rc = av_read_frame(s.format.get(), s.packet.get());
        if (rc < 0)
            break;
        if (s.packet->stream_index != s.streamIndex) {
            av_packet_unref(s.packet.get());
            continue;
        }
        rc = avcodec_send_packet(s.decoder.get(), s.packet.get());
        av_packet_unref(s.packet.get());
        if (rc < 0 && rc != AVERROR(EAGAIN)) {
            if (++s.badPackets > MaxBadPackets) {
                say(QtWarningMsg, "undecodable data from", m_shownUrl);
                return;
            }
            continue;
        }
        if (!decodeFrames(s, audioMs, &firstAudioMs))
            return;
    }
    if (isAborted())
        return;
    if (rc == AVERROR_EOF)
        qInfo() << m_name << "end of stream" << m_shownUrl;
    else
        say(QtWarningMsg, "stream", m_shownUrl, "failed:", why(rc));
}

// Drains the decoder into the channel; false when the session ends.
bool StreamInput::decodeFrames(Session &s, qint64 *audioMs, qint64 *firstAudioMs)
{
    AVFrame *frame = s.frame.get();
    while (avcodec_receive_frame(s.decoder.get(), frame) >= 0) {
        const int n = s.converter.convert(frame->extended_data, frame->nb_samples, AVSampleFormat(frame->format),
                                          &frame->ch_layout, frame->sample_rate);
        av_frame_unref(frame);
        if (n < 0) {
            say(QtWarningMsg, "cannot convert the audio of", m_shownUrl);
            return false;
        }
        if (n == 0)
            continue;
        s.badPackets = 0;
        if (!m_channel->write(s.converter.data(), n, m_abort))
            return false;
        if (*firstAudioMs == 0) {
            *firstAudioMs = nowMs();
            m_connectDeadlineMs.store(0);
        }
        *audioMs = nowMs() - *firstAudioMs;
        setState(Channel::Streaming);
    }
    return true;
}

} // namespace CVEngine
