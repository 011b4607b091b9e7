// The player's inputs: each runs in a thread of its own and feeds one
// channel with 48 kHz stereo float frames.
#pragma once

#include "cvchannel_p.h"

#include <QHash>
#include <QString>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace CVEngine {

// Every subclass stops and joins its thread in its own destructor: a
// thread still starting while a subclass is torn down would run the base
// run() instead.
class Input : public QThread
{
public:
    // `notify` is called from the input's thread whenever the channel's
    // state changes; it must only post.
    Input(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify);
    ~Input() override;

    // Asks the input to end soon; never blocks.
    virtual void abort();
    [[nodiscard]] bool isAborted() const { return m_abort.load(); }

protected:
    void setState(Channel::State state);
    // Sleeps up to `ms`, returns false when aborted.
    bool sleepFor(int ms);

    const std::shared_ptr<Channel> m_channel;
    const QString m_name;
    std::atomic<bool> m_abort{false};

private:
    std::function<void()> m_notify;
    std::mutex m_sleepMutex;
    std::condition_variable m_sleep;
};

// A network (or file) stream decoded with FFmpeg.
class StreamInput : public Input
{
public:
    StreamInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, QUrl url);
    ~StreamInput() override;
    // A session without audio for this long ends and reconnects.
    static constexpr int ReadTimeoutMs = 5000;
    // From connecting to the first audio, header and probing included.
    static constexpr int ConnectTimeoutMs = 10000;

protected:
    void run() override;

private:
    // One connection: returns when it ends; `audioMs` tells how long it played.
    void session(qint64 *audioMs);
    static int interrupted(void *opaque);
    [[nodiscard]] bool connectTimedOut() const;
    template<typename... Items>
    void say(QtMsgType type, const Items &...items);

    const QUrl m_url;
    std::atomic<qint64> m_connectDeadlineMs{0};
    QHash<QString, qint64> m_said; // line -> when it was last said
};

// A recording device, the N-th of the system's audio inputs.
class RecordInput : public Input
{
public:
    RecordInput(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify, int device);
    ~RecordInput() override;
    void abort() override;

protected:
    void run() override;

private:
    const int m_device;
};

} // namespace CVEngine
