// The player's inputs: each runs in a thread of its own and feeds one
// channel with 48 kHz stereo float frames.
#pragma once

#include "cvchannel_p.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace CVEngine {

class Input : public QThread
{
public:
    // `notify` is called from the input's thread whenever the channel's
    // state changes; it must only post.
    Input(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify);
    // Only through InputStopper: the thread has ended by then.
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

// The stop hand-shake, written once: ask the input to end, join its thread,
// then destroy it. Joining before any destructor runs means a thread still
// starting can never find a half-destroyed input and run the base's run().
struct InputStopper
{
    void operator()(Input *input) const;
};
using InputPtr = std::unique_ptr<Input, InputStopper>;

} // namespace CVEngine
