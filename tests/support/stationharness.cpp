#include "stationharness.h"

#include "testsupport.h"

#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace StationHarness {

namespace {

constexpr int kRate = 48000;

void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace

void sendSignal(const QProcess &process, int number)
{
    if (process.state() != QProcess::NotRunning)
        ::kill(pid_t(process.processId()), number);
}

void end(QProcess &process, int number, int graceMs)
{
    sendSignal(process, SIGCONT); // a stopped process cannot act on SIGTERM
    sendSignal(process, number);
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

bool Peers::start(QString *error)
{
    dieWithParent(m_process);
    m_process.start(QStringLiteral("bash"), { QStringLiteral(ONDALINE_PEERS_SCRIPT), m_dir.path(), m_kind });
    QByteArray out;
    const auto ready = [&] { return (out += m_process.readAllStandardOutput()).contains("READY\n"); };
    if (!TestSupport::waitFor([&] { return ready() || m_process.state() == QProcess::NotRunning; }, 30000) || !ready()) {
        *error = QStringLiteral("peers.sh %1 did not start: %2")
                         .arg(m_kind, QString::fromLocal8Bit(out + m_process.readAllStandardError()));
        stop();
        return false;
    }
    for (const QByteArray &line : out.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            m_values.insert(QString::fromLatin1(line.left(equals)), QString::fromLocal8Bit(line.mid(equals + 1)));
    }
    return true;
}

bool PulseServer::start(QString *error)
{
    const bool started = Peers::start(error);
    qputenv("PULSE_SERVER", serverAddress().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", value(QStringLiteral("XDG_RUNTIME_DIR")).toLocal8Bit());
    return started;
}

int PulseServer::loadModule(const QString &name, const QStringList &arguments)
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), QStringList { u"--server="_qs + serverAddress(), u"load-module"_qs, name } + arguments);
    const bool ok = pactl.waitForFinished(5000) && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0;
    return ok ? pactl.readAllStandardOutput().trimmed().toInt() : -1;
}

bool PulseServer::unloadModule(int index)
{
    return QProcess::execute(QStringLiteral("pactl"), { u"--server="_qs + serverAddress(), u"unload-module"_qs, QString::number(index) }) == 0;
}

QUrl IcecastServer::mountUrl(const QString &mount) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(value(QStringLiteral("ICECAST_PORT")), mount.startsWith(u'/') ? mount.mid(1) : mount));
}

TonePlayer::TonePlayer(double frequencyHz, int sampleRate) : m_frequencyHz(frequencyHz), m_sampleRate(sampleRate)
{
    ::signal(SIGPIPE, SIG_IGN); // a killed reader shows as EPIPE
}

bool TonePlayer::run(const QString &program, const QStringList &arguments, QString *error)
{
    if (isRunning())
        return true;
    kill();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    const int reader = fds[0];
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.setChildProcessModifier([reader] {
        ::dup2(reader, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    m_process.start(program, arguments);
    ::close(reader);
    if (!m_process.waitForStarted(10000)) {
        ::close(fds[1]);
        *error = QStringLiteral("%1 did not start: %2").arg(program, m_process.errorString());
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this, fd = fds[1]] { feed(fd); });
    return true;
}

// Writes s16le stereo 100 ms ahead of real time.
void TonePlayer::feed(int fd)
{
    const qint64 lead = m_sampleRate / 10;
    const qint64 chunkFrames = m_sampleRate / 100;
    std::vector<qint16> chunk(size_t(chunkFrames) * 2);
    const double step = 2 * M_PI * m_frequencyHz / m_sampleRate;
    double phase = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 baseMs = 0;
    qint64 written = 0;
    while (!m_stop) {
        const qint64 due = (clock.elapsed() - baseMs) * m_sampleRate / 1000 + lead;
        if (due - written > 2 * lead) {
            // The reader was stopped: skip what it missed instead of bursting it out.
            baseMs = clock.elapsed() - written * 1000 / m_sampleRate;
            continue;
        }
        if (written >= due) {
            QThread::msleep(2);
            continue;
        }
        for (qint64 i = 0; i < chunkFrames; ++i) {
            const qint16 v = m_silent ? 0 : qint16(std::lround(32767.0 / 8 * std::sin(phase)));
            chunk[size_t(2 * i)] = chunk[size_t(2 * i + 1)] = v;
            phase = std::fmod(phase + step, 2 * M_PI);
        }
        const char *data = reinterpret_cast<const char *>(chunk.data());
        size_t left = chunk.size() * sizeof(qint16);
        while (left > 0 && !m_stop) {
            const ssize_t n = ::write(fd, data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                m_stop = true; // the reader is gone
            else
                data += n, left -= size_t(n);
        }
        written += chunkFrames;
    }
    ::close(fd);
}

void TonePlayer::kill()
{
    m_stop = true;
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill(); // works on a stopped process too; the writer gets EPIPE
        m_process.waitForFinished(3000);
    }
    if (m_thread.joinable())
        m_thread.join();
}

bool ToneFeed::start(QString *error)
{
    QUrl target = url();
    target.setScheme(QStringLiteral("icecast"));
    target.setUserName(QStringLiteral("source"));
    target.setPassword(m_server->value(QStringLiteral("ICECAST_PASSWORD")));
    if (!run(QStringLiteral("ffmpeg"),
             QStringLiteral("-hide_banner -nostdin -loglevel error -re -f s16le -ar 44100 -ac 2 -i pipe:0 -c:a libmp3lame "
                            "-b:a 128k -content_type audio/mpeg -f mp3")
                             .split(u' ')
                     << target.toString(),
             error))
        return false;
    const auto listed = [&] {
        QProcess curl;
        curl.start(QStringLiteral("curl"), { QStringLiteral("-sf"), QStringLiteral("-u"),
                                             u"admin:"_qs + m_server->value(QStringLiteral("ICECAST_ADMIN_PASSWORD")),
                                             url().resolved(QUrl(QStringLiteral("/admin/listmounts"))).toString() });
        return curl.waitForFinished(5000) && curl.readAllStandardOutput().contains('"' + url().path().toUtf8() + '"');
    };
    if (TestSupport::waitFor([&] { return !isRunning() || listed(); }, 10000) && isRunning())
        return true;
    *error = QStringLiteral("mount %1 never appeared on icecast").arg(m_mount);
    kill();
    return false;
}

bool SinkTone::start(QString *error)
{
    return run(QStringLiteral("pacat"),
               QStringLiteral("--playback --rate=48000 --channels=2 --format=s16le --latency-msec=20 --client-name=tone -d")
                               .split(u' ')
                       << m_sink,
               error);
}

bool Capture::start(QString *error)
{
    end(m_process, SIGKILL);
    m_file.close();
    m_samples.clear();
    m_windows.clear();
    const QString path = m_dir.filePath(QStringLiteral("capture.raw"));
    QFile::remove(path);
    m_process.setStandardOutputFile(path);
    m_process.setStandardErrorFile(m_dir.filePath(QStringLiteral("parec.log")));
    dieWithParent(m_process);
    m_process.start(QStringLiteral("parec"),
                    { QStringLiteral("--server=") + m_pulse->serverAddress(), QStringLiteral("-d"), m_source,
                      QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"), QStringLiteral("--format=s16le"),
                      QStringLiteral("--latency-msec=10"), QStringLiteral("--client-name=capture") });
    m_file.setFileName(path);
    if (!TestSupport::waitFor([&] { return m_file.size() > 0 || m_process.state() == QProcess::NotRunning; }, 10000)
        || m_process.state() == QProcess::NotRunning || !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("parec on %1 recorded nothing: %2").arg(m_source, QString::fromLocal8Bit(TestSupport::readFile(m_dir.filePath(u"parec.log"_qs))));
        end(m_process, SIGKILL);
        return false;
    }
    read();
    return true;
}

QVector<qint16> Capture::stop()
{
    end(m_process, SIGINT);
    read();
    m_file.close();
    return m_samples;
}

void Capture::read()
{
    if (m_file.isOpen()) {
        const QByteArray bytes = m_file.read((m_file.size() - m_file.pos()) / 4 * 4);
        const qsizetype old = m_samples.size();
        m_samples.resize(old + bytes.size() / 2);
        memcpy(m_samples.data() + old, bytes.constData(), size_t(bytes.size()));
    }
    const double classified = double(m_windows.size() * kWindowMs);
    for (auto window : ToneAnalysis::toneTimeline(ToneAnalysis::stereo(slice(m_samples, classified, 1e12)), kWindowMs)) {
        window.startMs += classified;
        m_windows.append(window);
    }
}

bool Capture::heard(qsizetype window, double tone) const
{
    const double frequency = m_windows.at(window).frequencyHz;
    return tone == 0 ? frequency == 0 : std::abs(frequency - tone) <= 60.0;
}

double Capture::positionMs()
{
    read();
    return double(m_samples.size() / 2) * 1000.0 / kRate;
}

double Capture::onsetMs(double tone, double fromMs, int timeoutMs, int stableMs)
{
    const int needed = std::max(1, stableMs / kWindowMs);
    double onset = -1;
    TestSupport::waitFor([&] {
        read();
        for (int i = std::max(0, int(std::floor(fromMs / kWindowMs))), run = 0; onset < 0 && i < m_windows.size(); ++i) {
            run = heard(i, tone) ? run + 1 : 0;
            onset = run == needed ? double(i - needed + 1) * kWindowMs : -1;
        }
        return onset >= 0;
    }, timeoutMs);
    return onset;
}

bool Capture::steady(double tone, double fromMs, double toMs) const
{
    const int first = std::max(0, int(std::ceil(fromMs / kWindowMs)));
    const int last = int(std::floor(toMs / kWindowMs));
    for (int i = first; i < last; ++i) {
        if (i >= m_windows.size() || !heard(i, tone))
            return false;
    }
    return first < last;
}

QString Capture::describe(double fromMs, double toMs) const
{
    QStringList parts;
    for (const auto &s : ToneAnalysis::segments(m_windows, kWindowMs, 30.0)) {
        if (s.endMs > fromMs && s.startMs < toMs)
            parts << QStringLiteral("%1 %2-%3 ms").arg(s.frequencyHz > 0 ? QStringLiteral("%1 Hz").arg(std::lround(s.frequencyHz)) : u"silence"_qs).arg(s.startMs).arg(s.endMs);
    }
    return parts.join(QStringLiteral(", "));
}

QVector<qint16> slice(const QVector<qint16> &stereo, double fromMs, double toMs)
{
    const qsizetype frames = stereo.size() / 2;
    const qsizetype from = std::clamp<qsizetype>(qsizetype(fromMs * kRate / 1000), 0, frames);
    return stereo.mid(from * 2, (std::clamp<qsizetype>(qsizetype(toMs * kRate / 1000), from, frames) - from) * 2);
}

} // namespace StationHarness
