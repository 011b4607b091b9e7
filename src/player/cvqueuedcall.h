// The one way the program crosses threads: a functor queued to an object's
// thread. A function of a class runs on that class's thread only.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <future>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace CVQueuedCall {

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
// that is the calling thread or a thread not running (its queue would never
// be served). The context must outlive the call.
template<typename F>
void postAndWait(QObject *context, F f)
{
    QThread *thread = context->thread();
    if (thread == QThread::currentThread() || !thread->isRunning()) {
        f();
        return;
    }
    std::promise<void> done;
    std::future<void> ran = done.get_future();
    post(context, [&f, &done] {
        f();
        done.set_value();
    });
    ran.wait();
}

} // namespace CVQueuedCall
