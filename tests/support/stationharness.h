// Real peers for the integration tests, all on 127.0.0.1 with free ports and
// private directories: a PulseAudio daemon with null sinks, an icecast2 server,
// ffmpeg feeds with sine tones, and a capture of what reaches a sink.
// A peer that cannot be started makes start() return false with a reason;
// the test then fails with that reason (never skips).
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <QVector>
#include <memory>

namespace StationHarness {

// A free TCP port on 127.0.0.1 at the time of the call.
quint16 freeTcpPort();

// A private PulseAudio daemon. start() exports PULSE_SERVER and
// XDG_RUNTIME_DIR into this process's environment so that Qt Multimedia
// (and child processes) talk to it. Loads: a null sink "ondaline_out"
// (set as default sink, with a keep-alive stream so its monitor has low
// latency) and a fake microphone: null sink "ondaline_mic" remapped as a
// normal source "ondaline_vmic" (set as default source).
class PulseServer
{
public:
    PulseServer();
    ~PulseServer();
    bool start(QString *error);
    void stop();
    [[nodiscard]] QString serverAddress() const; // "unix:/.../native"
    // pactl load-module; returns the module index or -1.
    int loadModule(const QString &name, const QStringList &arguments);
    bool unloadModule(int index);
    // Runs pactl with the arguments against this daemon; returns stdout.
    QByteArray pactl(const QStringList &arguments, bool *ok = nullptr);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// An icecast2 server on a free port, config and logs in a temporary dir.
class IcecastServer
{
public:
    IcecastServer();
    ~IcecastServer();
    bool start(QString *error);
    void stop();
    [[nodiscard]] quint16 port() const;
    [[nodiscard]] QUrl mountUrl(const QString &mount) const; // http://127.0.0.1:port/mount
    [[nodiscard]] QString sourcePassword() const;
    // Waits (bounded) until the mount is listed by the server.
    bool waitForMount(const QString &mount, int timeoutMs = 10000);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// An ffmpeg encoder feeding a sine tone as MP3 128 kbps to an icecast mount.
// The PCM is produced by this process (in a thread of its own) and piped
// to ffmpeg, so the feed can switch to digital silence and back while the
// connection stays up.
class ToneFeed
{
public:
    ToneFeed(IcecastServer *server, QString mount, double frequencyHz, double amplitude = 0.125);
    ~ToneFeed();
    bool start(QString *error);       // returns when the mount is listed
    void setSilent(bool silent);      // digital silence instead of the tone
    void kill();                      // SIGKILL: the connection drops
    void pause();                     // SIGSTOP: connection open, no data
    void resume();                    // SIGCONT
    [[nodiscard]] bool isRunning() const;
    [[nodiscard]] QUrl url() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Records a PulseAudio source (e.g. "ondaline_out.monitor") with parec,
// 48 kHz stereo s16le, until stop().
class Capture
{
public:
    explicit Capture(PulseServer *pulse, QString source = QStringLiteral("ondaline_out.monitor"));
    ~Capture();
    bool start(QString *error);
    // Stops recording and returns the interleaved stereo samples.
    QVector<qint16> stop();
    [[nodiscard]] qint64 startedAtMs() const; // QDateTime::currentMSecsSinceEpoch() at start

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Analysis of interleaved stereo s16 samples at 48 kHz (left channel used).
struct Window
{
    double startMs = 0;
    double frequencyHz = 0;  // dominant frequency, 0 for silence
    double peak = 0;         // 0..1
};
QList<Window> toneTimeline(const QVector<qint16> &stereo, int windowMs = 50, int sampleRate = 48000);
double dominantFrequency(const QVector<qint16> &stereo, int sampleRate = 48000);
double peakLevel(const QVector<qint16> &stereo);   // 0..1
// Largest |s[n] - s[n-1]| on the left channel, as a fraction of full scale.
double largestStep(const QVector<qint16> &stereo, qsizetype from = 0, qsizetype to = -1);
// Longest run of samples whose |value| stays below `threshold` (0..1), in ms.
double longestSilentGapMs(const QVector<qint16> &stereo, double threshold = 0.001, int sampleRate = 48000);

} // namespace StationHarness
