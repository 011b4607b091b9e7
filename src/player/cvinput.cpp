// What every input does: its state, its abort and its stop.
#include "cvinput_p.h"

namespace CVEngine {

Input::Input(std::shared_ptr<Channel> channel, QString name, std::function<void()> notify)
    : m_channel(std::move(channel)), m_name(std::move(name)), m_notify(std::move(notify))
{
}

Input::~Input()
{
    Q_ASSERT(!isRunning());
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

void InputStopper::operator()(Input *input) const
{
    input->abort();
    input->wait();
    delete input;
}

} // namespace CVEngine
