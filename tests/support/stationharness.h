// Real peers on 127.0.0.1 in private directories (tools/peers.sh, which the
// demo uses too), tones fed to them and a capture of a sink. start() fails
// with a reason, never skips; every child dies with the test process.
#pragma once

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <atomic>
#include <csignal>
#include <thread>

#include "toneanalysis.h"

namespace StationHarness {

// Sends `number` (after SIGCONT), then kills what is left after graceMs.
void end(QProcess &process, int number = SIGTERM, int graceMs = 3000);
void sendSignal(const QProcess &process, int number); // if it runs

// peers.sh running one kind of peer, and the coordinates it printed.
class Peers
{
public:
    explicit Peers(QString kind) : m_kind(std::move(kind)) { }
    ~Peers() { stop(); }
    bool start(QString *error);
    void stop() { end(m_process); }
    [[nodiscard]] QString value(const QString &key) const { return m_values.value(key); }

private:
    QString m_kind;
    QTemporaryDir m_dir;
    QProcess m_process;
    QHash<QString, QString> m_values;
};

// Null sinks "ondaline_out" (the default) and "ondaline_mic", whose monitor
// is the default source "ondaline_vmic". start() exports PULSE_SERVER: call
// it before Qt Multimedia connects, which it does once per process.
class PulseServer : public Peers
{
public:
    PulseServer() : Peers(QStringLiteral("pulse")) { }
    bool start(QString *error);
    [[nodiscard]] QString serverAddress() const { return value(QStringLiteral("PULSE_SERVER")); }
    int loadModule(const QString &name, const QStringList &arguments); // module index or -1
    bool unloadModule(int index);
};

class IcecastServer : public Peers
{
public:
    IcecastServer() : Peers(QStringLiteral("icecast")) { }
    [[nodiscard]] QUrl mountUrl(const QString &mount) const;
};

// A sine tone at an eighth of full scale piped into a child at real time:
// silence keeps the connection.
class TonePlayer
{
public:
    virtual ~TonePlayer() { kill(); }
    void setSilent(bool silent) { m_silent = silent; }
    void kill(); // SIGKILL
    void pause() { sendSignal(m_process, SIGSTOP); }
    void resume() { sendSignal(m_process, SIGCONT); }
    [[nodiscard]] bool isRunning() const { return m_process.state() == QProcess::Running; }

protected:
    TonePlayer(double frequencyHz, int sampleRate);
    bool run(const QString &program, const QStringList &arguments, QString *error);

private:
    void feed(int fd);

    double m_frequencyHz;
    int m_sampleRate;
    QProcess m_process;
    std::thread m_thread;
    std::atomic<bool> m_silent { false };
    std::atomic<bool> m_stop { false };
};

// MP3 to an icecast mount with ffmpeg; start() returns once it is listed.
class ToneFeed : public TonePlayer
{
public:
    ToneFeed(IcecastServer *server, QString mount, double frequencyHz)
        : TonePlayer(frequencyHz, 44100), m_server(server), m_mount(std::move(mount)) { }
    bool start(QString *error);
    [[nodiscard]] QUrl url() const { return m_server->mountUrl(m_mount); }

private:
    IcecastServer *m_server;
    QString m_mount;
};

// Into a PulseAudio sink with pacat, e.g. "ondaline_mic" for the microphone.
class SinkTone : public TonePlayer
{
public:
    SinkTone(PulseServer *, QString sink, double frequencyHz) : TonePlayer(frequencyHz, 48000), m_sink(std::move(sink)) { }
    bool start(QString *error);

private:
    QString m_sink;
};

// Records a PulseAudio source with parec, 48 kHz stereo s16le, into a file (a
// pipe would overflow while the test blocks), and finds the tone of each 20 ms
// window; a tone of 0 is silence.
class Capture
{
public:
    static constexpr int kWindowMs = 20;

    explicit Capture(PulseServer *pulse, QString source = QStringLiteral("ondaline_out.monitor"))
        : m_pulse(pulse), m_source(std::move(source)) { }
    ~Capture() { end(m_process, SIGKILL); }
    bool start(QString *error);
    QVector<qint16> stop();
    // So far, while recording goes on.
    [[nodiscard]] const QVector<qint16> &samples()
    {
        read();
        return m_samples;
    }

    // "Now" in the capture, in ms; the file lags the sink by a few tens of ms.
    double positionMs();
    // Start of the first run of at least stableMs of `tone` at or after
    // fromMs, waiting up to timeoutMs for it; -1 when none.
    double onsetMs(double tone, double fromMs, int timeoutMs = 0, int stableMs = 100);
    [[nodiscard]] bool steady(double tone, double fromMs, double toMs) const;
    // "440 Hz 0-1200 ms, silence ..." for messages.
    [[nodiscard]] QString describe(double fromMs, double toMs) const;

private:
    void read();
    [[nodiscard]] bool heard(qsizetype window, double tone) const;

    PulseServer *m_pulse;
    QString m_source;
    QTemporaryDir m_dir;
    QProcess m_process;
    QFile m_file;
    QVector<qint16> m_samples;
    QList<ToneAnalysis::Window> m_windows;
};

// Interleaved stereo s16 at 48 kHz, left channel.
inline double peakLevel(const QVector<qint16> &s) { return ToneAnalysis::peakLevel(ToneAnalysis::stereo(s)); } // 0..1
// Largest |s[n] - s[n-1]|, as a fraction of full scale.
inline double largestStep(const QVector<qint16> &s) { return ToneAnalysis::largestStep(ToneAnalysis::stereo(s)); }
// Longest run of samples below -60 dBFS, in ms.
inline double longestSilentGapMs(const QVector<qint16> &s) { return ToneAnalysis::longestSilentGapMs(ToneAnalysis::stereo(s)); }
QVector<qint16> slice(const QVector<qint16> &stereo, double fromMs, double toMs);

} // namespace StationHarness
