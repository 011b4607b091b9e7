// Real peers for the integration tests, all on 127.0.0.1 with free ports and
// private directories: a PulseAudio daemon with null sinks, an icecast2 server,
// ffmpeg feeds with sine tones, and a capture of what reaches a sink.
// A peer that cannot be started makes start() return false with a reason;
// the test then fails with that reason (never skips). Every child process is
// killed by the destructors, and by the kernel if the test process dies.
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
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
// Start it before anything touches Qt Multimedia: Qt connects to the sound
// server once per process.
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
    [[nodiscard]] QString runtimeDir() const; // the exported XDG_RUNTIME_DIR

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
    [[nodiscard]] bool isMountListed(const QString &mount) const;

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
// 48 kHz stereo s16le, into a file (a pipe would overflow while the test
// blocks), and classifies it in 20 ms windows as the nearest of `tones`
// (0 silence, -1 anything else) while it grows.
class Capture
{
public:
    static constexpr int kWindowMs = 20;
    static constexpr double kSilence = 0.001; // about -60 dBFS

    explicit Capture(PulseServer *pulse, QString source = QStringLiteral("ondaline_out.monitor"),
                     QList<double> tones = { 440.0, 660.0, 880.0, 1100.0 });
    ~Capture();
    // Starts a new recording (a previous one is dropped); returns once data flows.
    bool start(QString *error);
    // Stops recording and returns the interleaved stereo samples.
    QVector<qint16> stop();
    [[nodiscard]] qint64 startedAtMs() const; // QDateTime::currentMSecsSinceEpoch() at start
    // What has been recorded so far, while recording goes on.
    [[nodiscard]] QVector<qint16> samples() const;

    // Reads what parec has written so far and classifies the new windows.
    void update();
    // Position of "now" in the capture, in ms. The file lags the sink by a
    // few tens of ms, so event times derived from it err towards later.
    [[nodiscard]] double positionMs();
    // The capture position of a wall-clock time (the sink runs on the system
    // clock), through the anchor of the last update().
    [[nodiscard]] double positionAt(qint64 wallMs) const;
    [[nodiscard]] double lengthMs() const;
    // Start of the first run of at least stableMs of `tone` (0 for silence)
    // beginning at or after fromMs; -1 when there is none yet.
    [[nodiscard]] double onsetMs(double tone, double fromMs, int stableMs = 100) const;
    // Waits (bounded) for such an onset and returns it, or -1.
    double waitForOnset(double tone, double fromMs, int timeoutMs, int stableMs = 100);
    // Sample-precise (1 ms) edges next to an onset found in windows: where
    // the silence starting at a silent onset really began, and where the
    // sound starting at an onset after silence really began.
    [[nodiscard]] double silenceStartNear(double onsetMs) const;
    [[nodiscard]] double soundStartNear(double onsetMs) const;
    // True when every window in [fromMs, toMs) carries `tone`.
    [[nodiscard]] bool steady(double tone, double fromMs, double toMs) const;
    // Tones heard in [fromMs, toMs) as "440 Hz 0-1200 ms, silence ..." for messages.
    [[nodiscard]] QString describe(double fromMs, double toMs) const;
    // Of [fromMs, toMs): peak 0..1, largest sample-to-sample step, longest
    // run below kSilence in ms.
    [[nodiscard]] double peak(double fromMs, double toMs) const;
    [[nodiscard]] double largestStep(double fromMs, double toMs) const;
    [[nodiscard]] double longestGapMs(double fromMs, double toMs) const;
    // What was read so far as a WAV file, for ondaline-toneprobe.
    bool saveWav(const QString &path) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// A continuous sine tone played into a PulseAudio sink with pacat, e.g. into
// "ondaline_mic" so that the fake microphone "ondaline_vmic" carries it.
class SinkTone
{
public:
    SinkTone(PulseServer *pulse, QString sink, double frequencyHz, double amplitude = 0.125);
    ~SinkTone();
    bool start(QString *error);
    void setSilent(bool silent);
    void stop();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Missing programs among `programs`, by name; empty when all are on PATH.
QStringList missingPrograms(const QStringList &programs);

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
// The last `ms` milliseconds of a capture (all of it when shorter).
QVector<qint16> tail(const QVector<qint16> &stereo, int ms, int sampleRate = 48000);
// Frames [fromMs, toMs) of a capture.
QVector<qint16> slice(const QVector<qint16> &stereo, double fromMs, double toMs, int sampleRate = 48000);

} // namespace StationHarness
