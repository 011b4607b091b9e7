// The whole program as an operator runs it: ondaline_e2e (the program with a
// local service's address compiled in) logged in to the reference service
// with N streams from a local icecast2, on a private display with a tray and
// a private PulseAudio. For each N it waits for every stream to play, then
// measures a fixed window with the window shown and another after closing
// it to the tray: CPU seconds per second of the whole process, the same per
// stream, peak RSS and the frames Qt Quick rendered per second.
//
//   bench_app [--seconds S] [--streams N[,N...]] [--program PATH]
//
// Defaults: 30 s, 2 and 16 streams, this build's ondaline_e2e. Another
// build of it (with the same service port) can be compared with --program.
//
// QT_QUICK_BACKEND and the other Qt variables of this environment reach the
// program, so renderers can be compared without rebuilding.
#include "desktop.h"
#include "refservice.h"
#include "stationharness.h"
#include "servicefixture.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

using namespace TestSupport;

namespace {

const QString stationId = QStringLiteral("bench");
const QString username = QStringLiteral("operator");
constexpr int WarmupMs = 10000;
constexpr int HiddenSettleMs = 3000;

// utime + stime of all threads, dead ones included.
double processCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // Fields after the command name, which may hold spaces: state is field 3.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// VmHWM: the peak resident set, in kB.
qint64 peakRssKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    static const QRegularExpression hwm(QStringLiteral("VmHWM:\\s+(\\d+) kB"));
    return hwm.match(QString::fromLatin1(f.readAll())).captured(1).toLongLong();
}

// Frames the program logged while its scene graph timing category is on.
int framesLogged(const QString &dir)
{
    static const QRegularExpression frame(QStringLiteral("[Ff]rame rendered (in|with) "));
    return int(dayLogText(dir).count(frame));
}

struct Phase
{
    double cpuPerSecond = 0;
    double framesPerSecond = 0;
    double peakRssMb = 0;
};

Phase measure(Program &program, int seconds)
{
    const double cpu0 = processCpuSeconds(program.pid());
    const int frames0 = framesLogged(program.dir());
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(seconds * 1000);
    const double wall = double(clock.nsecsElapsed()) / 1e9;
    Phase p;
    p.cpuPerSecond = (processCpuSeconds(program.pid()) - cpu0) / wall;
    p.framesPerSecond = double(framesLogged(program.dir()) - frames0) / wall;
    p.peakRssMb = double(peakRssKb(program.pid())) * 1024.0 / 1e6;
    return p;
}

class Bench
{
public:
    bool start(int maxStreams, QString *error);
    bool run(int streams, int seconds, QString *error);

    QString program = QStringLiteral(ONDALINE_E2E_EXECUTABLE);

private:
    QUrl urlOf(int i) const { return m_feeds.at(size_t(i))->url(); }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    StationHarness::IcecastServer m_icecast;
    std::vector<std::unique_ptr<StationHarness::ToneFeed>> m_feeds;
    RefService m_service;
};

bool Bench::start(int maxStreams, QString *error)
{
    if (!m_display.start(true, error) || !m_pulse.start(error) || !m_icecast.start(error))
        return false;
    for (int i = 0; i < maxStreams; ++i) {
        m_feeds.push_back(std::make_unique<StationHarness::ToneFeed>(&m_icecast, QStringLiteral("feed%1").arg(i),
                                                                     440.0 + 50.0 * i));
        if (!m_feeds.back()->start(error))
            return false;
    }
    Station station;
    station.id = stationId;
    station.name = QStringLiteral("Bench Radio");
    station.city = QStringLiteral("Localhost");
    station.user = username;
    station.password = QStringLiteral("bench-pass");
    if (!startService(m_service, station, ONDALINE_E2E_SERVICE_PORT, error))
        return false;
    return true;
}

bool Bench::run(int streams, int seconds, QString *error)
{
    QStringList urls;
    for (int i = 0; i < streams; ++i)
        urls.append(urlOf(i).toString());
    m_service.setStationStreams(stationId, urls);

    // A stored session logs the program in at start; closing the window
    // then hides it without the notice.
    QTemporaryDir dir;
    const QString sid = QStringLiteral("bench%1").arg(streams);
    m_service.addSession(sid, username);
    {
        QSettings settings(QDir(dir.path()).filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("language"), QStringLiteral("en"));
        settings.setValue(QStringLiteral("showKeepRunningDialog"), false);
        settings.setValue(QStringLiteral("sid"), sid);
        settings.setValue(QStringLiteral("username"), username);
    }
    QProcessEnvironment env = m_display.environment();
    // Frames are counted in the program's log; rules given here are kept.
    const QString rules = env.value(QStringLiteral("QT_LOGGING_RULES"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"),
               QStringLiteral("qt.scenegraph.time.renderloop.debug=true")
                       + (rules.isEmpty() ? QString() : u';' + rules));
    m_service.clearRequests();
    Program program(m_display);
    const HeadlessDisplay::TopLevel window = program.start(this->program, dir.path(), env) ? program.waitForWindow() : HeadlessDisplay::TopLevel {};
    if (!window.id) {
        *error = QStringLiteral("the program did not show its window: ") + QString::fromUtf8(program.describe());
        return false;
    }
    // For attaching a profiler.
    std::fprintf(stderr, "%d streams: program pid %lld\n", streams, program.pid());
    const bool allConnected = waitFor(
            [&] {
                const auto requests = m_service.requests(QStringLiteral("/api/player/state"));
                const QJsonArray infos = requests.isEmpty() ? QJsonArray() : requests.last().json().value(QStringLiteral("sourcesInfo")).toArray();
                QStringList reported;
                for (const QJsonValue &info : infos) {
                    if (!info.toObject().value(QStringLiteral("isConnected")).toBool())
                        return false;
                    reported.append(info.toObject().value(QStringLiteral("streamUrl")).toString());
                }
                return reported == urls;
            },
            90000);
    if (!allConnected) {
        *error = QStringLiteral("not all %1 streams were reported connected").arg(streams);
        return false;
    }
    QTest::qWait(WarmupMs);
    const Phase shown = measure(program, seconds);

    if (!m_display.closeWindow(window.id)
        || !waitFor([&] { return m_display.windowsOf(program.pid()).isEmpty(); }, 10000)) {
        *error = QStringLiteral("the window did not close to the tray");
        return false;
    }
    QTest::qWait(HiddenSettleMs);
    const Phase hidden = measure(program, seconds);
    if (!program.isRunning()) {
        *error = QStringLiteral("the program ended during the run: ") + QString::fromUtf8(program.describe());
        return false;
    }
    program.kill();

    for (const auto &[name, p] : { std::pair { "shown", shown }, std::pair { "hidden", hidden } }) {
        std::printf("%7d  %-6s  %11.4f  %10.4f  %12.1f  %8.1f\n", streams, name, p.cpuPerSecond,
                    p.cpuPerSecond / streams, p.peakRssMb, p.framesPerSecond);
    }
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench bench;
    int seconds = 30;
    QList<int> counts { 2, 16 };
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--seconds")) {
            seconds = qMax(1, args.at(i + 1).toInt());
        } else if (args.at(i) == QLatin1String("--streams")) {
            counts.clear();
            for (const QString &n : args.at(i + 1).split(u','))
                counts.append(qBound(1, n.toInt(), 32));
        } else if (args.at(i) == QLatin1String("--program")) {
            bench.program = args.at(i + 1);
        }
    }
    int maxStreams = 0;
    for (int n : counts)
        maxStreams = qMax(maxStreams, n);

    QString error;
    if (!bench.start(maxStreams, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("window of %d s after %d s of steady play; RSS in MB of 10^6 bytes\n", seconds, WarmupMs / 1000);
    std::printf("streams  window  cpu_s_per_s  per_stream  peak_rss_MB  frames/s\n");
    for (int n : counts) {
        if (!bench.run(n, seconds, &error)) {
            std::fprintf(stderr, "%d streams: %s\n", n, qPrintable(error));
            return 1;
        }
    }
    return 0;
}
