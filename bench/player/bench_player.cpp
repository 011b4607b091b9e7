// Plays N icecast streams (N = 0, 1, 8, 16) for a fixed time in a child
// process and measures its CPU and peak RSS, then decodes the same streams
// with `ffmpeg -f null` for the same time as the reference.
//
//   bench_player [--seconds S]          run the whole table
//   bench_player --child S URL...       (internal) play the URLs, report
//   bench_player --station S            keep the station up S seconds, print its address
#include "cvbass.h"
#include "cvplayer.h"
#include "stationharness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int WarmupMs = 3000;

double selfCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long selfPeakRssKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// CPU time of another process in seconds, from the scheduler's nanosecond
// account (/proc stat's clock ticks are too coarse for one decoder).
double processCpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().split(' ').value(0).toDouble() / 1e9;
}

int child(int seconds, const QStringList &urls)
{
    CVBass::outputDevice = -1;
    CVBass::init();
    std::vector<std::unique_ptr<CVPlayer>> players;
    for (int i = 0; i < urls.size(); ++i) {
        auto p = std::make_unique<CVPlayer>();
        p->setIsUpdatesLevel(true);
        p->setVolume(i == 0 ? 1.0 : 0.0);
        p->play(QUrl(urls.at(i)));
        players.push_back(std::move(p));
    }
    double start = 0;
    QTimer::singleShot(WarmupMs, qApp, [&] { start = selfCpuSeconds(); });
    QTimer::singleShot(WarmupMs + seconds * 1000, qApp, [&] {
        const double cpu = selfCpuSeconds() - start;
        int flowing = 0;
        for (const auto &p : players)
            flowing += p->isStalled() ? 0 : 1;
        std::printf("cpu=%.4f rss_kb=%ld flowing=%d\n", cpu, selfPeakRssKb(), flowing);
        std::fflush(stdout);
        qApp->quit();
    });
    const int rc = QCoreApplication::exec();
    players.clear();
    CVBass::free();
    return rc;
}

struct ChildResult
{
    double cpu = -1;
    long rssKb = 0;
    int flowing = 0;
};

ChildResult runChild(int seconds, const QStringList &urls)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationFilePath(),
            QStringList{ QStringLiteral("--child"), QString::number(seconds) } + urls);
    ChildResult r;
    if (!p.waitForFinished(WarmupMs + seconds * 1000 + 30000))
        return r;
    for (const QByteArray &item : p.readAllStandardOutput().trimmed().split(' ')) {
        const auto kv = item.split('=');
        if (kv.value(0) == "cpu")
            r.cpu = kv.value(1).toDouble();
        else if (kv.value(0) == "rss_kb")
            r.rssKb = kv.value(1).toLong();
        else if (kv.value(0) == "flowing")
            r.flowing = kv.value(1).toInt();
    }
    return r;
}

// CPU of one `ffmpeg -f null` decoder per URL over the same window.
double ffmpegCpu(int seconds, const QStringList &urls)
{
    std::vector<std::unique_ptr<QProcess>> procs;
    for (const QString &url : urls) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->start(QStringLiteral("ffmpeg"), { QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                                             QStringLiteral("-i"), url, QStringLiteral("-f"), QStringLiteral("null"),
                                             QStringLiteral("-") });
        procs.push_back(std::move(p));
    }
    QThread::msleep(WarmupMs);
    double start = 0;
    for (auto &p : procs)
        start += processCpuSeconds(p->processId());
    QThread::msleep(ulong(seconds) * 1000);
    double end = 0;
    for (auto &p : procs)
        end += processCpuSeconds(p->processId());
    for (auto &p : procs) {
        p->kill();
        p->waitForFinished(3000);
    }
    return end - start;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == QLatin1String("--child"))
        return child(args.value(1).toInt(), args.mid(2));

    int seconds = 10;
    if (args.value(0) == QLatin1String("--seconds") || args.value(0) == QLatin1String("--station"))
        seconds = qMax(2, args.value(1).toInt());

    using namespace StationHarness;
    PulseServer pulse;
    IcecastServer icecast;
    QString error;
    if (!pulse.start(&error) || !icecast.start(&error)) {
        std::fprintf(stderr, "bench_player: %s\n", qPrintable(error));
        return 1;
    }
    // Four feeds shared by the players keep the encoders' load small.
    std::vector<std::unique_ptr<ToneFeed>> feeds;
    const double tones[] = { 440, 550, 660, 770 };
    for (int i = 0; i < 4; ++i) {
        feeds.push_back(std::make_unique<ToneFeed>(&icecast, QStringLiteral("/bench%1.mp3").arg(i), tones[i]));
        if (!feeds.back()->start(&error)) {
            std::fprintf(stderr, "bench_player: %s\n", qPrintable(error));
            return 1;
        }
    }
    auto urls = [&](int n) {
        QStringList list;
        for (int i = 0; i < n; ++i)
            list << feeds[size_t(i) % feeds.size()]->url().toString();
        return list;
    };

    if (args.value(0) == QLatin1String("--station")) {
        // Keeps the station up for manual probing of a child run.
        std::printf("export PULSE_SERVER=%s\nURL=%s\n", qPrintable(pulse.serverAddress()),
                    qPrintable(feeds[0]->url().toString()));
        std::fflush(stdout);
        QThread::sleep(ulong(seconds));
        return 0;
    }

    QTextStream out(stdout);
    out << "Audio layer, " << seconds << " s per run after " << WarmupMs / 1000 << " s warm-up, MP3 128 kbps 44.1 kHz\n";
    const ChildResult idle = runChild(seconds, {});
    const double fixed = idle.cpu / seconds;
    out << QStringLiteral("fixed cost (0 sources): %1 CPU s/s (target <= 0.008), peak RSS %2 MB\n")
               .arg(fixed, 0, 'f', 4).arg(idle.rssKb / 1024.0, 0, 'f', 1);
    // Per stream: the process's CPU less the fixed cost, over N.
    out << "   N | process CPU s/s | ondaline CPU s/s/stream | ffmpeg CPU s/s/stream | ratio (<= 1.3) | peak RSS MB (limit) | flowing\n";
    for (int n : { 1, 8, 16 }) {
        const ChildResult r = runChild(seconds, urls(n));
        const double ours = (r.cpu / seconds - fixed) / n;
        const double ref = ffmpegCpu(seconds, urls(n)) / seconds / n;
        out << QStringLiteral("%1 | %2 | %3 | %4 | %5 | %6 (%7) | %8/%9\n")
                   .arg(n, 4)
                   .arg(r.cpu / seconds, 15, 'f', 5)
                   .arg(ours, 23, 'f', 5)
                   .arg(ref, 21, 'f', 5)
                   .arg(ref > 0 ? ours / ref : 0.0, 14, 'f', 2)
                   .arg(r.rssKb / 1024.0, 11, 'f', 1)
                   .arg(40 + 3 * n)
                   .arg(r.flowing)
                   .arg(n);
        out.flush();
    }
    return 0;
}
