#include "stationscenario.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTest>

#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <signal.h>
#include <sys/prctl.h>

#include "refservice.h"
#include "toneanalysis.h"

namespace Scenario {

namespace {

constexpr int kRate = 48000;
constexpr double kToleranceHz = 60.0;
const double kTones[] = { kTone1, kTone2, kTone3, kMicTone };

qsizetype frameAt(double ms)
{
    return qsizetype(ms * kRate / 1000.0);
}

} // namespace

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// ------------------------------------------------------------------ Listener

Listener::Listener(StationHarness::PulseServer *pulse, QString path) : m_pulse(pulse), m_path(std::move(path)) { }

Listener::~Listener()
{
    stop();
}

bool Listener::start(QString *error)
{
    stop();
    m_samples.clear();
    m_classes.clear();
    m_partial.clear();
    QFile::remove(m_path);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), m_pulse->serverAddress());
    m_parec.setProcessEnvironment(env);
    m_parec.setStandardOutputFile(m_path);
    m_parec.setStandardErrorFile(m_path + QStringLiteral(".log"));
    m_parec.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_parec.start(QStringLiteral("parec"),
                  { QStringLiteral("-d"), QStringLiteral("ondaline_out.monitor"), QStringLiteral("--rate=48000"),
                    QStringLiteral("--channels=2"), QStringLiteral("--format=s16le"),
                    QStringLiteral("--latency-msec=10"), QStringLiteral("--client-name=e2e-listener") });
    if (!m_parec.waitForStarted(10000)) {
        *error = QStringLiteral("parec did not start: %1").arg(m_parec.errorString());
        return false;
    }
    const bool flowing = waitFor([&] { return QFileInfo(m_path).size() > 0 || m_parec.state() != QProcess::Running; },
                                 10000);
    if (!flowing || m_parec.state() != QProcess::Running) {
        QFile log(m_path + QStringLiteral(".log"));
        log.open(QIODevice::ReadOnly);
        *error = QStringLiteral("parec on ondaline_out.monitor recorded nothing: %1")
                         .arg(QString::fromLocal8Bit(log.readAll()));
        stop();
        return false;
    }
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot read %1: %2").arg(m_path, m_file.errorString());
        stop();
        return false;
    }
    update();
    return true;
}

void Listener::stop()
{
    if (m_parec.state() != QProcess::NotRunning) {
        update();
        m_parec.kill();
        m_parec.waitForFinished(3000);
    }
    m_file.close();
}

double Listener::classify(qsizetype fromFrame, qsizetype frames) const
{
    const ToneAnalysis::Pcm pcm = ToneAnalysis::stereo(m_samples, kRate);
    if (ToneAnalysis::peakLevel(pcm, fromFrame, fromFrame + frames) < kSilence)
        return 0;
    const double frequency = ToneAnalysis::dominantFrequency(pcm, fromFrame, fromFrame + frames);
    for (double tone : kTones) {
        if (std::abs(frequency - tone) <= kToleranceHz)
            return tone;
    }
    return -1;
}

void Listener::update()
{
    if (m_file.isOpen()) {
        const qint64 wall = nowMs();
        m_partial += m_file.readAll();
        const qsizetype whole = m_partial.size() / 4 * 4;
        if (whole > 0) {
            const qsizetype old = m_samples.size();
            m_samples.resize(old + whole / 2);
            memcpy(m_samples.data() + old, m_partial.constData(), size_t(whole));
            m_partial.remove(0, whole);
        }
        m_anchorWallMs = wall;
        m_anchorPositionMs = lengthMs();
    }
    const qsizetype windowFrames = frameAt(kWindowMs);
    const qsizetype frames = m_samples.size() / 2;
    for (qsizetype from = qsizetype(m_classes.size()) * windowFrames; from + windowFrames <= frames;
         from += windowFrames)
        m_classes.append(classify(from, windowFrames));
}

double Listener::lengthMs() const
{
    return double(m_samples.size() / 2) * 1000.0 / kRate;
}

double Listener::positionMs()
{
    update();
    return m_anchorPositionMs;
}

double Listener::positionAt(qint64 wallMs) const
{
    return m_anchorPositionMs + double(wallMs - m_anchorWallMs);
}

double Listener::onsetMs(double frequency, double fromMs, int stableMs) const
{
    const int first = std::max(0, int(std::floor(fromMs / kWindowMs)));
    const int needed = std::max(1, stableMs / kWindowMs);
    int run = 0;
    for (int i = first; i < m_classes.size(); ++i) {
        run = m_classes.at(i) == frequency ? run + 1 : 0;
        if (run == needed)
            return double(i - needed + 1) * kWindowMs;
    }
    return -1;
}

double Listener::waitForOnset(double frequency, double fromMs, int timeoutMs, int stableMs)
{
    double onset = -1;
    waitFor(
            [&] {
                update();
                onset = onsetMs(frequency, fromMs, stableMs);
                return onset >= 0;
            },
            timeoutMs);
    return onset;
}

double Listener::silenceStartNear(double onsetMs) const
{
    double edge = onsetMs;
    while (edge > onsetMs - 2 * kWindowMs && edge >= 1 && peak(edge - 1, edge) < kSilence)
        edge -= 1;
    return edge;
}

double Listener::soundStartNear(double onsetMs) const
{
    double edge = onsetMs;
    while (edge > onsetMs - 2 * kWindowMs && edge >= 1 && peak(edge - 1, edge) >= kSilence)
        edge -= 1;
    return edge;
}

bool Listener::steady(double frequency, double fromMs, double toMs) const
{
    const int first = std::max(0, int(std::ceil(fromMs / kWindowMs)));
    const int last = int(std::floor(toMs / kWindowMs)); // exclusive
    if (last > m_classes.size() || first >= last)
        return false;
    for (int i = first; i < last; ++i) {
        if (m_classes.at(i) != frequency)
            return false;
    }
    return true;
}

QString Listener::describe(double fromMs, double toMs) const
{
    QStringList parts;
    const int first = std::max(0, int(fromMs / kWindowMs));
    const int last = std::min(int(m_classes.size()), int(toMs / kWindowMs) + 1);
    int runStart = first;
    for (int i = first; i <= last; ++i) {
        if (i == last || m_classes.at(i) != m_classes.at(runStart)) {
            if (i > runStart) {
                const double c = m_classes.at(runStart);
                const QString what = c > 0 ? QStringLiteral("%1 Hz").arg(c)
                                           : c == 0 ? QStringLiteral("silence") : QStringLiteral("other");
                parts.append(QStringLiteral("%1 %2-%3 ms").arg(what).arg(runStart * kWindowMs).arg(i * kWindowMs));
            }
            runStart = i;
        }
    }
    return parts.join(QStringLiteral(", "));
}

double Listener::peak(double fromMs, double toMs) const
{
    return ToneAnalysis::peakLevel(ToneAnalysis::stereo(m_samples, kRate), frameAt(fromMs), frameAt(toMs));
}

double Listener::largestStep(double fromMs, double toMs) const
{
    return ToneAnalysis::largestStep(ToneAnalysis::stereo(m_samples, kRate), frameAt(fromMs), frameAt(toMs));
}

double Listener::longestGapMs(double fromMs, double toMs) const
{
    return StationHarness::longestSilentGapMs(StationHarness::slice(m_samples, fromMs, toMs), kSilence);
}

bool Listener::saveWav(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const quint32 dataBytes = quint32(m_samples.size() * 2);
    auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
    QByteArray header = "RIFF" + u32(36 + dataBytes) + "WAVEfmt " + u32(16) + u16(1) + u16(2) + u32(kRate)
            + u32(kRate * 4) + u16(4) + u16(16) + "data" + u32(dataBytes);
    return file.write(header) == header.size()
            && file.write(reinterpret_cast<const char *>(m_samples.constData()), dataBytes) == qint64(dataBytes);
}

SwitchQuality switchQuality(const Listener &listener, double atMs, double before, double after)
{
    // The tones' own steps come from quiet stretches away from the switch;
    // the switch itself is judged on the 200 ms around it.
    SwitchQuality q;
    if (before > 0) {
        q.ownStep = listener.largestStep(atMs - 700, atMs - 200);
        q.ownPeak = listener.peak(atMs - 700, atMs - 200);
    }
    if (after > 0) {
        q.ownStep = std::max(q.ownStep, listener.largestStep(atMs + 200, atMs + 700));
        q.ownPeak = std::max(q.ownPeak, listener.peak(atMs + 200, atMs + 700));
    }
    q.step = listener.largestStep(atMs - 100, atMs + 100);
    q.peak = listener.peak(atMs - 100, atMs + 100);
    if (before > 0 && after > 0)
        q.gapMs = listener.longestGapMs(atMs - 100, atMs + 100);
    return q;
}

// ---------------------------------------------------------------- ServiceLog

ServiceLog::ServiceLog(RefService *service) : m_service(service)
{
    QObject::connect(service, &RefService::requestReceived, service, [this](const QString &path) {
        const QList<RefService::Request> matching = m_service->requests(path);
        if (matching.isEmpty())
            return;
        const RefService::Request &request = matching.last();
        m_entries.append(Entry { nowMs(), path, request.json(), request.status });
    });
}

QList<ServiceLog::Entry> ServiceLog::entries(const QString &path) const
{
    if (path.isEmpty())
        return m_entries;
    QList<Entry> matching;
    for (const Entry &entry : m_entries) {
        if (entry.path == path)
            matching.append(entry);
    }
    return matching;
}

int ServiceLog::count(const QString &path) const
{
    return int(entries(path).size());
}

QList<ServiceLog::Entry> ServiceLog::reportsSince(int from) const
{
    QList<Entry> reports;
    const QList<Entry> all = entries(QStringLiteral("/api/player/state"));
    for (int i = std::max(0, from); i < all.size(); ++i) {
        if (all.at(i).body.contains(QStringLiteral("sourcesInfo")))
            reports.append(all.at(i));
    }
    return reports;
}

QStringList ServiceLog::reportedUrls(const QJsonObject &report)
{
    QStringList urls;
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray())
        urls.append(info.toObject().value(QStringLiteral("streamUrl")).toString());
    return urls;
}

QJsonObject ServiceLog::sourceInfo(const QJsonObject &report, const QString &streamUrl)
{
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray()) {
        if (info.toObject().value(QStringLiteral("streamUrl")).toString() == streamUrl)
            return info.toObject();
    }
    return {};
}

// ------------------------------------------------------------------ settings

QList<StoredSource> storedSources(const QString &dir)
{
    QSettings settings(QDir(dir).filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
    QList<StoredSource> sources;
    const int size = settings.beginReadArray(QStringLiteral("sources"));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        sources.append({ settings.value(QStringLiteral("streamUrl")).toString(),
                         settings.value(QStringLiteral("volumeLevel"), 1.0).toDouble() });
    }
    settings.endArray();
    return sources;
}

QString storedValue(const QString &dir, const QString &key)
{
    QSettings settings(QDir(dir).filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
    return settings.value(key).toString();
}

QString logText(const QString &dir)
{
    QString text;
    const QStringList files =
            QDir(dir).entryList({ QStringLiteral("ondaline_*.log") }, QDir::Files, QDir::Name);
    for (const QString &name : files) {
        QFile file(QDir(dir).filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

// ------------------------------------------------------------------- Program

Program::~Program()
{
    kill();
}

bool Program::start(const QString &executable, const QString &dir, const QProcessEnvironment &environment,
                    QString *error)
{
    m_dir = dir;
    QProcessEnvironment env = environment;
    // Everything the program talks to is on 127.0.0.1: no proxy in between.
    for (const char *name : { "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" })
        env.remove(QString::fromLatin1(name));
    m_process.setWorkingDirectory(dir);
    m_process.setProcessEnvironment(env);
    m_process.setStandardOutputFile(QDir(dir).filePath(QStringLiteral("stdout.txt")));
    m_process.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("stderr.txt")));
    m_process.start(executable, {});
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("%1 did not start: %2").arg(executable, m_process.errorString());
        return false;
    }
    return true;
}

qint64 Program::peakRssKb() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool Program::waitForWindow(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *window, int timeoutMs)
{
    return waitFor(
                   [&] {
                       for (const auto &candidate : display.viewableWindowsOf(pid())) {
                           if (candidate.geometry.width() >= 640 && candidate.geometry.height() >= 480) {
                               *window = candidate;
                               return true;
                           }
                       }
                       return !isRunning();
                   },
                   timeoutMs)
            && isRunning();
}

int Program::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    return -1;
}

QByteArray Program::describe()
{
    QFile errors(QDir(m_dir).filePath(QStringLiteral("stderr.txt")));
    QByteArray text = "state " + QByteArray::number(m_process.state()) + ", exit code "
            + QByteArray::number(m_process.exitCode());
    if (errors.open(QIODevice::ReadOnly))
        text += ", stderr: " + errors.readAll().right(2000);
    return text;
}

// -------------------------------------------------------------------- display

bool typeText(const HeadlessDisplay &display, unsigned long window, const QString &text)
{
    QProcess xdotool;
    xdotool.setProcessEnvironment(display.environment());
    xdotool.start(QStringLiteral("xdotool"),
                  { QStringLiteral("type"), QStringLiteral("--window"), QString::number(window),
                    QStringLiteral("--delay"), QStringLiteral("20"), text });
    return xdotool.waitForStarted(5000) && xdotool.waitForFinished(20000) && xdotool.exitCode() == 0;
}

QPoint colourCentre(const QImage &image, const QRect &area, QRgb rgb, int *count)
{
    qint64 sx = 0;
    qint64 sy = 0;
    int n = 0;
    const QRect bounded = area.intersected(image.rect());
    for (int y = bounded.top(); y <= bounded.bottom(); ++y) {
        for (int x = bounded.left(); x <= bounded.right(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) == (rgb & 0xffffff)) {
                sx += x;
                sy += y;
                ++n;
            }
        }
    }
    if (count)
        *count = n;
    return n == 0 ? QPoint() : QPoint(int(sx / n), int(sy / n));
}

int logoPixels(const QImage &image, const QRect &area)
{
    int count = 0;
    const QRect bounded = area.intersected(image.rect());
    for (int y = bounded.top(); y <= bounded.bottom(); ++y) {
        for (int x = bounded.left(); x <= bounded.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qBlue(p) > 120 && qRed(p) < 60 && qGreen(p) > 60 && qGreen(p) < 180)
                ++count;
        }
    }
    return count;
}

// -------------------------------------------------------------------- Figures

Figures::Figures(QString path) : m_path(std::move(path))
{
    QFile::remove(m_path);
}

void Figures::record(const QString &name, double value, const QString &unit)
{
    const QString line = QStringLiteral("%1 %2 %3").arg(name).arg(value, 0, 'f', 1).arg(unit);
    qInfo().noquote() << "FIGURE" << line;
    QFile file(m_path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

} // namespace Scenario
