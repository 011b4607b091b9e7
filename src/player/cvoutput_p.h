// The output: the mixer's audio to a device, or on a real-time clock where
// there is none ("No sound", or a device that cannot be opened or was lost).
#pragma once

#include "cvqueuedcall.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <vector>

class QAudioSink;

namespace CVEngine {

class MixDevice;

// Lives in the output thread; pulls the mixer on the device's or the clock's time.
class Output : public QObject
{
public:
    Output();
    ~Output() override;

    bool openDevice(int number);
    void closeDevice();
    void useClock();

private:
    bool tryOpen();
    bool startSink(const QAudioDevice &device, const QAudioFormat &format);
    bool retryLater();
    void ensureClock();
    void startClock();
    void clockTick();
    void handleSinkState(QAudio::State state);
    void checkDevicePresent();
    void fail(const QString &why);

    QMediaDevices m_devices;
    QTimer m_clock;
    QTimer m_presence;
    QTimer m_retry;
    int m_wanted = 0;
    bool m_quiet = false;
    QElapsedTimer m_elapsed;
    qint64 m_rendered = 0;
    std::vector<float> m_buffer;
    QAudioSink *m_sink = nullptr;
    MixDevice *m_io = nullptr;
    QByteArray m_deviceId;
};

// The thread the output lives in. Start and end are handed over through a
// standard mutex rather than Qt's own waits, so that a race checker sees the
// order: an output thread that replaces another uses the mixer's state after it.
class OutputThread : public QThread
{
public:
    OutputThread() { setObjectName(QStringLiteral("Audio mixer")); }

    // Runs `f` on the output in its thread and waits for it.
    template<typename F>
    void call(F f)
    {
        CVQueuedCall::postAndWait(m_output, [this, &f] { f(*m_output); });
    }
    void startAndWait();
    void stopAndWait();

protected:
    void run() override;

private:
    enum Phase { Starting, Running, Finished };
    void enter(Phase phase);

    Output *m_output = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Phase m_phase = Starting;
};

} // namespace CVEngine
