// A network (or file) stream decoded with FFmpeg, in the input's thread.
#pragma once

#include "cvinput_p.h"

#include <QHash>
#include <QUrl>

#include <atomic>

namespace CVEngine {

class StreamInput : public Input
{
public:
    StreamInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, QUrl url);

    // A session without audio for this long ends and reconnects.
    static constexpr int ReadTimeoutMs = 5000;
    // From connecting to the first audio, header and probing included.
    static constexpr int ConnectTimeoutMs = 10000;

protected:
    void run() override;

private:
    struct Session;
    // One connection: returns when it ends; `audioMs` tells how long it played.
    void session(qint64 *audioMs);
    // Its steps, each false (and said why) when the session ends there.
    bool open(Session &s);
    bool probe(Session &s);
    bool openDecoder(Session &s);
    void decode(Session &s, qint64 *audioMs);
    bool decodeFrames(Session &s, qint64 *audioMs, qint64 *firstAudioMs);

    static int interrupted(void *opaque);
    [[nodiscard]] bool connectTimedOut() const;
    [[nodiscard]] QString why(int code) const;
    void sayFailed(const char *what, int code);
    template<typename... Items>
    void say(QtMsgType type, const Items &...items);

    const QUrl m_url;
    const QString m_shownUrl;
    std::atomic<qint64> m_connectDeadlineMs{0};
    QHash<QString, qint64> m_said; // line -> when it was last said
};

} // namespace CVEngine
