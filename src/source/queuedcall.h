// The one way across threads: a functor run in another object's thread
// through its event queue.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace QueuedCall {

// The functor as it travels: Qt builds it in the posting thread, calls it
// in the receiving one and deletes it in either, ordered by the event
// queue's lock and a reference count. A Qt that was not built for the thread
// sanitizer hides both from it, so the order is declared here: the last move
// into Qt's slot object hands over, the call takes over and hands back, the
// destructor takes over.
template<typename F>
class Parcel
{
public:
    explicit Parcel(F f) : m_f(std::move(f)) { }
    Parcel(Parcel &&other) noexcept : m_f(std::move(other.m_f)) { handOver(); }
    Parcel(const Parcel &) = delete;
    Parcel &operator=(const Parcel &) = delete;
    Parcel &operator=(Parcel &&) = delete;
    ~Parcel() { takeOver(); }

    void operator()()
    {
        takeOver();
        m_f();
        handOver();
    }

private:
    void handOver()
    {
#if defined(__SANITIZE_THREAD__)
        __tsan_release(this);
#endif
    }
    void takeOver()
    {
#if defined(__SANITIZE_THREAD__)
        __tsan_acquire(this);
#endif
    }

    F m_f;
};

// Queues `f` to run in `context`'s thread; dropped if `context` is deleted first.
template<typename F>
bool post(QObject *context, F f)
{
    return QMetaObject::invokeMethod(context, Parcel<F>(std::move(f)), Qt::QueuedConnection);
}

// Runs `f` in `context`'s thread and waits until it has run: at once when
// that is the calling thread or a thread not running. Standard primitives
// rather than QMutex/QWaitCondition: a thread sanitizer sees their locking
// even when Qt is not instrumented.
template<typename F>
void blocking(QObject *context, F f)
{
    QThread *thread = context->thread();
    if (thread == QThread::currentThread() || !thread->isRunning()) {
        f();
        return;
    }
    std::mutex mutex;
    std::condition_variable ran;
    bool done = false;
    std::unique_lock<std::mutex> lock(mutex);
    post(context, [&f, &mutex, &ran, &done] {
        f();
        std::lock_guard<std::mutex> guard(mutex);
        done = true;
        ran.notify_all();
    });
    ran.wait(lock, [&done] { return done; });
}

} // namespace QueuedCall
