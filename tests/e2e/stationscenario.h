// Pieces of the end-to-end station scenarios: the program run in a working
// directory, what the service saw, what the output sink carried, and the
// figures the scenarios report.
#pragma once

#include <QFile>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QPoint>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <utility>

#include "headlessdisplay.h"
#include "stationharness.h"

#include "e2esupport.h"

class RefService;

namespace Scenario {

[[nodiscard]] qint64 nowMs();
// The in-process service must keep answering while a test waits.
using E2E::waitFor;

// The tones of the station; a window is classified as the nearest of them.
constexpr double kTone1 = 440.0;
constexpr double kTone2 = 660.0;
constexpr double kTone3 = 880.0;
constexpr double kMicTone = 1100.0;

// The output sink's monitor recorded by parec into a file (a pipe would
// overflow while the test blocks), read and classified in 20 ms windows as
// it grows.
class Listener
{
public:
    static constexpr int kWindowMs = 20;
    static constexpr double kSilence = 0.001; // about -60 dBFS

    Listener(StationHarness::PulseServer *pulse, QString path);
    ~Listener();
    // Starts a new recording (the previous one is dropped); returns once
    // data flows.
    bool start(QString *error);
    void stop();

    // Reads what parec has written so far and classifies the new windows.
    void update();
    // Position of "now" in the capture, in ms. The file lags the sink by a
    // few tens of ms, so event times derived from it err towards later.
    [[nodiscard]] double positionMs();
    // The capture position of a wall-clock time (the sink runs on the system
    // clock), through the anchor of the last update().
    [[nodiscard]] double positionAt(qint64 wallMs) const;

    // Start of the first run of at least stableMs of `frequency` (0 for
    // silence) beginning at or after fromMs; -1 when there is none yet.
    [[nodiscard]] double onsetMs(double frequency, double fromMs, int stableMs = 100) const;
    // Waits (bounded) for such an onset and returns it, or -1.
    double waitForOnset(double frequency, double fromMs, int timeoutMs, int stableMs = 100);
    // Sample-precise (1 ms) edges next to an onset found in windows: where
    // the silence starting at a silent onset really began, and where the
    // sound starting at an onset after silence really began.
    [[nodiscard]] double silenceStartNear(double onsetMs) const;
    [[nodiscard]] double soundStartNear(double onsetMs) const;
    // True when every window in [fromMs, toMs) carries `frequency`.
    [[nodiscard]] bool steady(double frequency, double fromMs, double toMs) const;
    // Tones heard in [fromMs, toMs) as "440 Hz 0-1200 ms, silence ..." for messages.
    [[nodiscard]] QString describe(double fromMs, double toMs) const;

    [[nodiscard]] const QVector<qint16> &samples() const { return m_samples; }
    [[nodiscard]] double lengthMs() const;
    // Peak of [fromMs, toMs), 0..1.
    [[nodiscard]] double peak(double fromMs, double toMs) const;
    [[nodiscard]] double largestStep(double fromMs, double toMs) const;
    [[nodiscard]] double longestGapMs(double fromMs, double toMs) const;
    // Saves the capture as a WAV file for ondaline-toneprobe.
    bool saveWav(const QString &path) const;

private:
    [[nodiscard]] double classify(qsizetype fromFrame, qsizetype frames) const;

    StationHarness::PulseServer *m_pulse;
    QString m_path;
    QProcess m_parec;
    QFile m_file;
    QByteArray m_partial;
    QVector<qint16> m_samples;
    QVector<double> m_classes; // per window: a tone, 0 silence, -1 anything else
    qint64 m_anchorWallMs = 0;
    double m_anchorPositionMs = 0;
};

// What one switch between sources looked like on the output.
struct SwitchQuality
{
    double gapMs = 0;     // longest run below the silence level around the switch
    double step = 0;      // largest sample-to-sample step around the switch
    double ownStep = 0;   // the larger of the two tones' own largest steps
    double peak = 0;      // loudest sample around the switch
    double ownPeak = 0;   // the louder tone's own peak
    [[nodiscard]] double ratio() const { return ownStep > 0 ? step / ownStep : 0; }
};
// The switch at atMs from the tone heard before it to the one after it;
// either may be 0 (silence).
SwitchQuality switchQuality(const Listener &listener, double atMs, double before, double after);

// The state requests the service received, stamped on arrival.
class ServiceLog
{
public:
    struct Entry
    {
        qint64 atMs = 0;
        QString path;
        QJsonObject body;
        int status = 0;
    };

    explicit ServiceLog(RefService *service);
    [[nodiscard]] QList<Entry> entries(const QString &path = {}) const;
    [[nodiscard]] int count(const QString &path) const;
    // Reports (state requests with a sid) since index `from` of entries(statePath).
    [[nodiscard]] QList<Entry> reportsSince(int from) const;
    // Stream URLs of a report's "sourcesInfo", in order.
    static QStringList reportedUrls(const QJsonObject &report);
    static QJsonObject sourceInfo(const QJsonObject &report, const QString &streamUrl);

private:
    QPointer<RefService> m_service;
    QList<Entry> m_entries;
};

// The settings file of a working directory, as the program left it.
struct StoredSource
{
    QString streamUrl;
    double volumeLevel = 0;
};
QList<StoredSource> storedSources(const QString &dir);
QString storedValue(const QString &dir, const QString &key);

// All lines of the working directory's log files.
QString logText(const QString &dir);

// The program in a working directory on a headless display.
class Program
{
public:
    Program() = default;
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    bool start(const QString &executable, const QString &dir, const QProcessEnvironment &environment,
               QString *error);
    [[nodiscard]] bool isRunning() const { return m_process.state() == QProcess::Running; }
    [[nodiscard]] qint64 pid() const { return m_process.processId(); }
    [[nodiscard]] QString dir() const { return m_dir; }
    QProcess &process() { return m_process; }
    // VmHWM of /proc/<pid>/status in KiB, or -1.
    [[nodiscard]] qint64 peakRssKb() const;
    // The 720 x 540 application window, once mapped (bounded wait).
    bool waitForWindow(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *window, int timeoutMs = 30000);
    // Ends the process, hard if need be; returns its exit code or -1.
    int kill();
    [[nodiscard]] QByteArray describe();

private:
    QProcess m_process;
    QString m_dir;
};

// xdotool against a display: typing into a window, clicking, reading pixels.
bool typeText(const HeadlessDisplay &display, unsigned long window, const QString &text);
// Points of `image` (inside `area`) whose colour is `rgb`, as their centre; null when none.
QPoint colourCentre(const QImage &image, const QRect &area, QRgb rgb, int *count = nullptr);
// Pixels of the logo's blue inside `area`.
int logoPixels(const QImage &image, const QRect &area);

// Figures of the run, printed with qInfo and written as "name value unit"
// lines to a summary file.
class Figures
{
public:
    explicit Figures(QString path);
    void record(const QString &name, double value, const QString &unit);
    [[nodiscard]] QString path() const { return m_path; }

private:
    QString m_path;
};

} // namespace Scenario
