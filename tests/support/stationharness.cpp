// The test station: real PulseAudio, icecast2, ffmpeg and parec processes run
// by the test itself. Every child gets SIGKILL when the test process dies, so
// a crashed or timed-out test leaves nothing behind.
#include "stationharness.h"

#include "toneanalysis.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StationHarness {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kRate = 48000;

qsizetype frameAt(double ms)
{
    return qsizetype(ms * kRate / 1000.0);
}

QString randomToken()
{
    return QString::number(QRandomGenerator::global()->generate64(), 16);
}

void sleepMs(int ms)
{
    QThread::msleep(ms);
}

// Runs in the forked child before exec: only async-signal-safe calls.
void dieWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void signalProcess(const QProcess &process, int signal)
{
    if (process.state() != QProcess::NotRunning && process.processId() > 0)
        ::kill(pid_t(process.processId()), signal);
}

// Asks politely with `signal`, then kills; always reaps.
void stopProcess(QProcess &process, int signal = SIGTERM, int graceMs = 3000)
{
    if (process.state() == QProcess::NotRunning)
        return;
    signalProcess(process, SIGCONT); // a stopped process cannot act on SIGTERM
    signalProcess(process, signal);
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

QByteArray readFileTail(const QString &path, qint64 maxBytes = 2000)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > maxBytes)
        file.seek(file.size() - maxBytes);
    return file.readAll().trimmed();
}

QVector<qint16> readPcmFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const qsizetype frames = bytes.size() / 4; // whole stereo frames only
    QVector<qint16> samples(frames * 2);
    memcpy(samples.data(), bytes.constData(), size_t(frames) * 4);
    return samples;
}

struct HttpResult
{
    int status = 0;
    QByteArray body;
};

// A blocking HTTP/1.0 GET on 127.0.0.1, usable without an event loop.
HttpResult httpGet(quint16 port, const QByteArray &path, const QByteArray &user, const QByteArray &password,
                   int timeoutMs = 2000)
{
    HttpResult result;
    QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return result;
    QByteArray request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!user.isEmpty())
        request += "Authorization: Basic " + (user + ':' + password).toBase64() + "\r\n";
    request += "\r\n";
    socket.write(request);
    QByteArray response;
    while (!deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        response += socket.readAll();
    }
    response += socket.readAll();
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2)
        result.status = statusLine.at(1).toInt();
    if (headerEnd >= 0)
        result.body = response.mid(headerEnd + 4);
    return result;
}

// Writes a sine tone (or digital silence) as s16le stereo into a FIFO, paced
// a little ahead of real time. Reader: ffmpeg or pacat.
class PcmFeeder
{
public:
    PcmFeeder(QString fifoPath, int sampleRate, double frequencyHz, double amplitude)
        : m_fifoPath(std::move(fifoPath)), m_sampleRate(sampleRate), m_frequencyHz(frequencyHz),
          m_amplitude(amplitude)
    {
    }
    ~PcmFeeder() { stop(); }

    bool createFifo(QString *error)
    {
        QFile::remove(m_fifoPath);
        if (::mkfifo(QFile::encodeName(m_fifoPath).constData(), 0600) != 0) {
            *error = QStringLiteral("cannot create FIFO %1: %2").arg(m_fifoPath, QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        return true;
    }
    void start()
    {
        m_stop = false;
        m_thread = std::thread([this] { run(); });
    }
    // The reader must be gone (or killed) first, or a blocked write keeps us waiting.
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    void setSilent(bool silent) { m_silent = silent; }

private:
    void run()
    {
        // Non-blocking open fails with ENXIO until the reader has opened its end.
        int fd = -1;
        QElapsedTimer opening;
        opening.start();
        while (!m_stop && opening.elapsed() < kStartTimeoutMs) {
            fd = ::open(QFile::encodeName(m_fifoPath).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                break;
            sleepMs(5);
        }
        if (fd < 0)
            return;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

        const qint64 leadFrames = m_sampleRate / 10; // 100 ms ahead
        const qint64 chunkFrames = m_sampleRate / 100;
        std::vector<qint16> chunk(size_t(chunkFrames) * 2);
        double phase = 0;
        const double step = 2 * M_PI * m_frequencyHz / m_sampleRate;
        QElapsedTimer clock;
        clock.start();
        qint64 baseMs = 0;
        qint64 written = 0;
        while (!m_stop) {
            const qint64 due = (clock.elapsed() - baseMs) * m_sampleRate / 1000 + leadFrames;
            if (due - written > 2 * leadFrames) {
                // The reader was stopped: skip what it missed instead of bursting it out.
                baseMs = clock.elapsed() - written * 1000 / m_sampleRate;
                continue;
            }
            if (written >= due) {
                sleepMs(2);
                continue;
            }
            const bool silent = m_silent;
            for (qint64 i = 0; i < chunkFrames; ++i) {
                const qint16 v = silent ? 0 : qint16(std::lround(32767.0 * m_amplitude * std::sin(phase)));
                chunk[size_t(2 * i)] = v;
                chunk[size_t(2 * i + 1)] = v;
                phase = std::fmod(phase + step, 2 * M_PI);
            }
            const char *data = reinterpret_cast<const char *>(chunk.data());
            size_t left = chunk.size() * sizeof(qint16);
            while (left > 0 && !m_stop) {
                const ssize_t n = ::write(fd, data, left);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    m_stop = true; // reader gone (EPIPE)
                    break;
                }
                data += n;
                left -= size_t(n);
            }
            written += chunkFrames;
        }
        ::close(fd);
    }

    QString m_fifoPath;
    int m_sampleRate;
    double m_frequencyHz;
    double m_amplitude;
    std::atomic<bool> m_silent { false };
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

bool checkPrograms(const QStringList &programs, QString *error)
{
    const QStringList missing = missingPrograms(programs);
    if (missing.isEmpty())
        return true;
    *error = QStringLiteral("missing program(s) on PATH: %1 (see scripts/install-deps.sh)").arg(missing.join(u' '));
    return false;
}

bool makeTempDir(const QTemporaryDir &dir, QString *error)
{
    if (dir.isValid())
        return true;
    *error = QStringLiteral("cannot create a temporary directory: %1").arg(dir.errorString());
    return false;
}

bool writeFile(const QString &path, const QByteArray &content, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QStringList missingPrograms(const QStringList &programs)
{
    QStringList missing;
    for (const QString &program : programs) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing.append(program);
    }
    return missing;
}

// ---------------------------------------------------------------- PulseServer

struct PulseServer::Private
{
    QTemporaryDir dir { QDir::tempPath() + QStringLiteral("/ondaline-pulse-XXXXXX") };
    QProcess daemon;
    std::vector<std::unique_ptr<QProcess>> keepAlives;
    bool environmentSet = false;
    QByteArray previousPulseServer;
    QByteArray previousRuntimeDir;
    bool hadPulseServer = false;
    bool hadRuntimeDir = false;

    QString runtimeDir() const { return dir.path() + QStringLiteral("/xdg"); }
    QString socketPath() const { return runtimeDir() + QStringLiteral("/pulse/native"); }
    QString address() const { return QStringLiteral("unix:") + socketPath(); }

    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), address());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
        return env;
    }
};

PulseServer::PulseServer() : d(std::make_unique<Private>()) { }

PulseServer::~PulseServer()
{
    stop();
}

QString PulseServer::serverAddress() const
{
    return d->address();
}

QString PulseServer::runtimeDir() const
{
    return d->runtimeDir();
}

bool PulseServer::start(QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (d->daemon.state() != QProcess::NotRunning)
        return true;
    if (!checkPrograms({ QStringLiteral("pulseaudio"), QStringLiteral("pactl"), QStringLiteral("pacat") }, error)
        || !makeTempDir(d->dir, error))
        return false;
    if (!QDir().mkpath(d->runtimeDir())
        || !QFile::setPermissions(d->runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        *error = QStringLiteral("cannot create %1").arg(d->runtimeDir());
        return false;
    }

    // The fake microphone is loaded first: Qt 6.4 takes the first non-monitor
    // source as the default input whatever the server says.
    const QString config = QStringLiteral(
        "load-module module-native-protocol-unix auth-anonymous=1 socket=%1\n"
        "load-module module-null-sink sink_name=ondaline_mic rate=48000 channels=2 "
        "sink_properties=device.description=Ondaline_Mic_Feed\n"
        "load-module module-remap-source source_name=ondaline_vmic master=ondaline_mic.monitor "
        "source_properties=device.description=Ondaline_Virtual_Mic\n"
        "load-module module-null-sink sink_name=ondaline_out rate=48000 channels=2 "
        "sink_properties=device.description=Ondaline_Null_Output\n"
        "set-default-sink ondaline_out\n"
        "set-default-source ondaline_vmic\n")
                               .arg(d->socketPath());
    const QString configPath = d->dir.filePath(QStringLiteral("private.pa"));
    if (!writeFile(configPath, config.toUtf8(), error))
        return false;

    const QString logPath = d->dir.filePath(QStringLiteral("pulse.log"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), d->runtimeDir());
    env.insert(QStringLiteral("HOME"), d->dir.path()); // keep its state out of the real home
    env.remove(QStringLiteral("PULSE_SERVER"));
    d->daemon.setProcessEnvironment(env);
    d->daemon.setProcessChannelMode(QProcess::MergedChannels);
    d->daemon.setStandardOutputFile(d->dir.filePath(QStringLiteral("pulse.out")));
    dieWithParent(d->daemon);
    d->daemon.start(QStringLiteral("pulseaudio"),
                    { QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"), QStringLiteral("-n"),
                      QStringLiteral("-F"), configPath, QStringLiteral("--log-target=file:") + logPath,
                      QStringLiteral("--log-level=notice") });
    if (!d->daemon.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("pulseaudio did not start: %1").arg(d->daemon.errorString());
        return false;
    }

    QElapsedTimer waited;
    waited.start();
    bool up = false;
    while (!up && waited.elapsed() < kStartTimeoutMs) {
        if (d->daemon.state() == QProcess::NotRunning || d->daemon.waitForFinished(0))
            break;
        pactl({ QStringLiteral("info") }, &up);
        if (!up)
            sleepMs(100);
    }
    if (!up) {
        *error = QStringLiteral("PulseAudio did not come up within %1 ms; its log: %2")
                     .arg(kStartTimeoutMs)
                     .arg(QString::fromLocal8Bit(readFileTail(logPath) + readFileTail(d->dir.filePath(QStringLiteral("pulse.out")))));
        stop();
        return false;
    }

    if (!d->environmentSet) {
        d->hadPulseServer = qEnvironmentVariableIsSet("PULSE_SERVER");
        d->previousPulseServer = qgetenv("PULSE_SERVER");
        d->hadRuntimeDir = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
        d->previousRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
        d->environmentSet = true;
    }
    qputenv("PULSE_SERVER", d->address().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", d->runtimeDir().toLocal8Bit());

    // An idle null sink renders in 2 s blocks; a running stream keeps its monitor's latency low.
    for (const QString &sink : { QStringLiteral("ondaline_out"), QStringLiteral("ondaline_mic") }) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(d->clientEnvironment());
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(d->dir.filePath(QStringLiteral("keepalive_%1.log").arg(sink)));
        dieWithParent(*process);
        process->start(QStringLiteral("pacat"),
                       { QStringLiteral("--playback"), QStringLiteral("-d"), sink, QStringLiteral("--latency-msec=20"),
                         QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"),
                         QStringLiteral("--format=s16le"), QStringLiteral("--client-name=keepalive"),
                         QStringLiteral("/dev/zero") });
        if (!process->waitForStarted(kStartTimeoutMs)) {
            *error = QStringLiteral("pacat keep-alive into %1 did not start: %2").arg(sink, process->errorString());
            stop();
            return false;
        }
        d->keepAlives.push_back(std::move(process));
    }
    return true;
}

void PulseServer::stop()
{
    for (auto &process : d->keepAlives)
        stopProcess(*process, SIGKILL);
    d->keepAlives.clear();
    stopProcess(d->daemon, SIGTERM);
    if (d->environmentSet) {
        if (d->hadPulseServer)
            qputenv("PULSE_SERVER", d->previousPulseServer);
        else
            qunsetenv("PULSE_SERVER");
        if (d->hadRuntimeDir)
            qputenv("XDG_RUNTIME_DIR", d->previousRuntimeDir);
        else
            qunsetenv("XDG_RUNTIME_DIR");
        d->environmentSet = false;
    }
}

QByteArray PulseServer::pactl(const QStringList &arguments, bool *ok)
{
    QProcess process;
    process.setProcessEnvironment(d->clientEnvironment());
    dieWithParent(process);
    process.start(QStringLiteral("pactl"), arguments);
    const bool finished = process.waitForStarted(3000) && process.waitForFinished(5000);
    if (!finished)
        stopProcess(process, SIGKILL);
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return process.readAllStandardOutput();
}

int PulseServer::loadModule(const QString &name, const QStringList &arguments)
{
    bool ok = false;
    const QByteArray out = pactl(QStringList { QStringLiteral("load-module"), name } + arguments, &ok);
    const int index = out.trimmed().toInt(&ok);
    return ok ? index : -1;
}

bool PulseServer::unloadModule(int index)
{
    bool ok = false;
    pactl({ QStringLiteral("unload-module"), QString::number(index) }, &ok);
    return ok;
}

// -------------------------------------------------------------- IcecastServer

struct IcecastServer::Private
{
    QTemporaryDir dir { QDir::tempPath() + QStringLiteral("/ondaline-icecast-XXXXXX") };
    QProcess process;
    quint16 port = 0;
    QByteArray sourcePassword = randomToken().toLatin1();
    QByteArray adminPassword = randomToken().toLatin1();

    QByteArray listMounts(bool *ok) const
    {
        const HttpResult r = httpGet(port, "/admin/listmounts", "admin", adminPassword);
        *ok = r.status == 200;
        return r.body;
    }
};

static QString normalizedMount(const QString &mount)
{
    return mount.startsWith(u'/') ? mount : u'/' + mount;
}

IcecastServer::IcecastServer() : d(std::make_unique<Private>()) { }

IcecastServer::~IcecastServer()
{
    stop();
}

quint16 IcecastServer::port() const
{
    return d->port;
}

QString IcecastServer::sourcePassword() const
{
    return QString::fromLatin1(d->sourcePassword);
}

QUrl IcecastServer::mountUrl(const QString &mount) const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(d->port);
    url.setPath(normalizedMount(mount));
    return url;
}

bool IcecastServer::start(QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (d->process.state() != QProcess::NotRunning)
        return true;
    if (!checkPrograms({ QStringLiteral("icecast2") }, error) || !makeTempDir(d->dir, error))
        return false;

    // icecast2 refuses to run as root: as root, the child drops to the
    // icecast2 user before exec, so it must be able to reach its files.
    bool dropPrivileges = ::geteuid() == 0;
    uid_t uid = 0;
    gid_t gid = 0;
    if (dropPrivileges) {
        const passwd *user = ::getpwnam("icecast2");
        if (!user) {
            *error = QStringLiteral("running as root, but there is no user icecast2 to run icecast2 as");
            return false;
        }
        uid = user->pw_uid;
        gid = user->pw_gid;
        if (const group *g = ::getgrnam("icecast"))
            gid = g->gr_gid;
    }
    const QString logDir = d->dir.filePath(QStringLiteral("log"));
    QDir().mkpath(logDir);
    QFile::setPermissions(d->dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                             | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    if (dropPrivileges && ::chown(QFile::encodeName(logDir).constData(), uid, gid) != 0) {
        *error = QStringLiteral("cannot hand %1 to icecast2: %2").arg(logDir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    // The free port may be taken before icecast binds it: a few attempts.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        d->port = freeTcpPort();
        if (d->port == 0) {
            *error = QStringLiteral("no free TCP port on 127.0.0.1");
            return false;
        }
        const QString config = QStringLiteral(R"(<icecast>
  <location>localhost</location><admin>root@localhost</admin>
  <limits><clients>50</clients><sources>16</sources><queue-size>524288</queue-size>
    <client-timeout>30</client-timeout><header-timeout>15</header-timeout><source-timeout>10</source-timeout>
    <burst-on-connect>1</burst-on-connect><burst-size>65535</burst-size></limits>
  <authentication><source-password>%1</source-password><relay-password>%2</relay-password>
    <admin-user>admin</admin-user><admin-password>%2</admin-password></authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>%3</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <fileserve>1</fileserve>
  <paths><basedir>/usr/share/icecast2</basedir><logdir>%4</logdir>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</loglevel></logging>
  <security><chroot>0</chroot></security>
</icecast>
)")
                                   .arg(QString::fromLatin1(d->sourcePassword), QString::fromLatin1(d->adminPassword))
                                   .arg(d->port)
                                   .arg(logDir);
        const QString configPath = d->dir.filePath(QStringLiteral("icecast.xml"));
        if (!writeFile(configPath, config.toUtf8(), error))
            return false;
        QFile::setPermissions(configPath, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);

        d->process.setProcessChannelMode(QProcess::MergedChannels);
        d->process.setStandardOutputFile(d->dir.filePath(QStringLiteral("icecast.out")));
        d->process.setChildProcessModifier([dropPrivileges, uid, gid] {
            if (dropPrivileges) {
                if (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                    ::_exit(126);
            }
            // After the uid change: a credentials change clears the death signal.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        });
        d->process.start(QStringLiteral("icecast2"), { QStringLiteral("-c"), configPath });
        if (!d->process.waitForStarted(kStartTimeoutMs)) {
            *error = QStringLiteral("icecast2 did not start: %1").arg(d->process.errorString());
            return false;
        }
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kStartTimeoutMs) {
            if (d->process.waitForFinished(0) || d->process.state() == QProcess::NotRunning)
                break; // most likely the port was taken meanwhile: try another
            if (httpGet(d->port, "/admin/stats", "admin", d->adminPassword).status == 200)
                return true;
            sleepMs(100);
        }
        *error = QStringLiteral("icecast2 did not answer /admin/stats on port %1 within %2 ms; output: %3 %4")
                     .arg(d->port)
                     .arg(kStartTimeoutMs)
                     .arg(QString::fromLocal8Bit(readFileTail(d->dir.filePath(QStringLiteral("icecast.out")))),
                          QString::fromLocal8Bit(readFileTail(logDir + QStringLiteral("/error.log"))));
        const bool exited = d->process.state() == QProcess::NotRunning;
        stop();
        if (!exited)
            return false; // running yet mute: another port will not help
    }
    return false;
}

void IcecastServer::stop()
{
    stopProcess(d->process, SIGTERM);
}

bool IcecastServer::isMountListed(const QString &mount) const
{
    if (d->port == 0)
        return false;
    bool ok = false;
    const QByteArray list = d->listMounts(&ok);
    return ok && list.contains("\"" + normalizedMount(mount).toUtf8() + "\"");
}

bool IcecastServer::waitForMount(const QString &mount, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    do {
        if (isMountListed(mount))
            return true;
        sleepMs(50);
    } while (waited.elapsed() < timeoutMs);
    return false;
}

// ------------------------------------------------------------------- ToneFeed

struct ToneFeed::Private
{
    IcecastServer *server = nullptr;
    QString mount;
    double frequencyHz = 0;
    double amplitude = 0;
    QTemporaryDir dir { QDir::tempPath() + QStringLiteral("/ondaline-feed-XXXXXX") };
    QProcess process;
    std::unique_ptr<PcmFeeder> feeder;
    bool silent = false;
};

ToneFeed::ToneFeed(IcecastServer *server, QString mount, double frequencyHz, double amplitude)
    : d(std::make_unique<Private>())
{
    d->server = server;
    d->mount = normalizedMount(mount);
    d->frequencyHz = frequencyHz;
    d->amplitude = amplitude;
}

ToneFeed::~ToneFeed()
{
    kill();
}

QUrl ToneFeed::url() const
{
    return d->server->mountUrl(d->mount);
}

bool ToneFeed::start(QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (isRunning())
        return true;
    if (!checkPrograms({ QStringLiteral("ffmpeg") }, error) || !makeTempDir(d->dir, error))
        return false;
    if (d->server->port() == 0) {
        *error = QStringLiteral("the icecast server of feed %1 is not started").arg(d->mount);
        return false;
    }
    const QString fifo = d->dir.filePath(QStringLiteral("feed.pcm"));
    d->feeder = std::make_unique<PcmFeeder>(fifo, 44100, d->frequencyHz, d->amplitude);
    d->feeder->setSilent(d->silent);
    if (!d->feeder->createFifo(error))
        return false;

    QUrl target;
    target.setScheme(QStringLiteral("icecast"));
    target.setUserName(QStringLiteral("source"));
    target.setPassword(d->server->sourcePassword());
    target.setHost(QStringLiteral("127.0.0.1"));
    target.setPort(d->server->port());
    target.setPath(d->mount);
    const QString logPath = d->dir.filePath(QStringLiteral("ffmpeg.log"));
    d->process.setProcessChannelMode(QProcess::MergedChannels);
    d->process.setStandardOutputFile(logPath);
    dieWithParent(d->process);
    d->process.start(QStringLiteral("ffmpeg"),
                     { QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
                       QStringLiteral("warning"), QStringLiteral("-re"), QStringLiteral("-f"), QStringLiteral("s16le"),
                       QStringLiteral("-ar"), QStringLiteral("44100"), QStringLiteral("-ac"), QStringLiteral("2"),
                       QStringLiteral("-i"), fifo, QStringLiteral("-c:a"), QStringLiteral("libmp3lame"),
                       QStringLiteral("-b:a"), QStringLiteral("128k"), QStringLiteral("-content_type"),
                       QStringLiteral("audio/mpeg"), QStringLiteral("-ice_name"),
                       QStringLiteral("Tone %1").arg(d->frequencyHz), QStringLiteral("-f"), QStringLiteral("mp3"),
                       target.toString() });
    if (!d->process.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("ffmpeg for %1 did not start: %2").arg(d->mount, d->process.errorString());
        return false;
    }
    d->feeder->start();
    if (!d->server->waitForMount(d->mount, kStartTimeoutMs)) {
        *error = QStringLiteral("mount %1 never appeared on icecast; ffmpeg said: %2")
                     .arg(d->mount, QString::fromLocal8Bit(readFileTail(logPath)));
        kill();
        return false;
    }
    return true;
}

void ToneFeed::setSilent(bool silent)
{
    d->silent = silent;
    if (d->feeder)
        d->feeder->setSilent(silent);
}

void ToneFeed::kill()
{
    // SIGKILL works on a stopped process too; the feeder then gets EPIPE.
    if (d->process.state() != QProcess::NotRunning) {
        d->process.kill();
        d->process.waitForFinished(3000);
    }
    if (d->feeder)
        d->feeder->stop();
}

void ToneFeed::pause()
{
    signalProcess(d->process, SIGSTOP);
}

void ToneFeed::resume()
{
    signalProcess(d->process, SIGCONT);
}

bool ToneFeed::isRunning() const
{
    return d->process.state() == QProcess::Running;
}

// -------------------------------------------------------------------- Capture

struct Capture::Private
{
    PulseServer *pulse = nullptr;
    QString source;
    QList<double> tones;
    QTemporaryDir dir { QDir::tempPath() + QStringLiteral("/ondaline-capture-XXXXXX") };
    QProcess process;
    qint64 startedAtMs = 0;
    QFile file;
    QByteArray partial;
    QVector<qint16> samples;
    QVector<double> classes; // per window: a tone, 0 silence, -1 anything else
    qint64 anchorWallMs = 0;
    double anchorPositionMs = 0;

    QString path() const { return dir.filePath(QStringLiteral("capture.raw")); }

    double classify(qsizetype fromFrame, qsizetype frames) const
    {
        const ToneAnalysis::Pcm pcm = ToneAnalysis::stereo(samples, kRate);
        if (ToneAnalysis::peakLevel(pcm, fromFrame, fromFrame + frames) < kSilence)
            return 0;
        const double frequency = ToneAnalysis::dominantFrequency(pcm, fromFrame, fromFrame + frames);
        for (double tone : tones) {
            if (std::abs(frequency - tone) <= 60.0)
                return tone;
        }
        return -1;
    }
};

Capture::Capture(PulseServer *pulse, QString source, QList<double> tones) : d(std::make_unique<Private>())
{
    d->pulse = pulse;
    d->source = std::move(source);
    d->tones = std::move(tones);
}

Capture::~Capture()
{
    stopProcess(d->process, SIGKILL);
}

bool Capture::start(QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    stopProcess(d->process, SIGKILL);
    d->file.close();
    d->samples.clear();
    d->classes.clear();
    d->partial.clear();
    if (!checkPrograms({ QStringLiteral("parec") }, error) || !makeTempDir(d->dir, error))
        return false;
    QFile::remove(d->path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), d->pulse->serverAddress());
    d->process.setProcessEnvironment(env);
    d->process.setStandardOutputFile(d->path());
    d->process.setStandardErrorFile(d->dir.filePath(QStringLiteral("parec.log")));
    dieWithParent(d->process);
    d->process.start(QStringLiteral("parec"),
                     { QStringLiteral("-d"), d->source, QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"),
                       QStringLiteral("--format=s16le"), QStringLiteral("--latency-msec=10"),
                       QStringLiteral("--client-name=capture") });
    if (!d->process.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("parec did not start: %1").arg(d->process.errorString());
        return false;
    }
    d->startedAtMs = QDateTime::currentMSecsSinceEpoch();
    // Data flows within a few tens of ms once the stream is connected.
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(d->path()).size() == 0) {
        if (d->process.waitForFinished(0) || waited.elapsed() > kStartTimeoutMs) {
            *error = QStringLiteral("parec on %1 recorded nothing: %2")
                         .arg(d->source,
                              QString::fromLocal8Bit(readFileTail(d->dir.filePath(QStringLiteral("parec.log")))));
            stopProcess(d->process, SIGKILL);
            return false;
        }
        sleepMs(5);
    }
    d->file.setFileName(d->path());
    if (!d->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot read %1: %2").arg(d->path(), d->file.errorString());
        stopProcess(d->process, SIGKILL);
        return false;
    }
    update();
    return true;
}

QVector<qint16> Capture::stop()
{
    stopProcess(d->process, SIGINT);
    update();
    d->file.close();
    return readPcmFile(d->path());
}

QVector<qint16> Capture::samples() const
{
    return readPcmFile(d->path());
}

qint64 Capture::startedAtMs() const
{
    return d->startedAtMs;
}

void Capture::update()
{
    if (d->file.isOpen()) {
        const qint64 wall = QDateTime::currentMSecsSinceEpoch();
        d->partial += d->file.readAll();
        const qsizetype whole = d->partial.size() / 4 * 4;
        if (whole > 0) {
            const qsizetype old = d->samples.size();
            d->samples.resize(old + whole / 2);
            memcpy(d->samples.data() + old, d->partial.constData(), size_t(whole));
            d->partial.remove(0, whole);
        }
        d->anchorWallMs = wall;
        d->anchorPositionMs = lengthMs();
    }
    const qsizetype windowFrames = frameAt(kWindowMs);
    const qsizetype frames = d->samples.size() / 2;
    for (qsizetype from = qsizetype(d->classes.size()) * windowFrames; from + windowFrames <= frames;
         from += windowFrames)
        d->classes.append(d->classify(from, windowFrames));
}

double Capture::lengthMs() const
{
    return double(d->samples.size() / 2) * 1000.0 / kRate;
}

double Capture::positionMs()
{
    update();
    return d->anchorPositionMs;
}

double Capture::positionAt(qint64 wallMs) const
{
    return d->anchorPositionMs + double(wallMs - d->anchorWallMs);
}

double Capture::onsetMs(double tone, double fromMs, int stableMs) const
{
    const int first = std::max(0, int(std::floor(fromMs / kWindowMs)));
    const int needed = std::max(1, stableMs / kWindowMs);
    int run = 0;
    for (int i = first; i < d->classes.size(); ++i) {
        run = d->classes.at(i) == tone ? run + 1 : 0;
        if (run == needed)
            return double(i - needed + 1) * kWindowMs;
    }
    return -1;
}

double Capture::waitForOnset(double tone, double fromMs, int timeoutMs, int stableMs)
{
    double onset = -1;
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        update();
        onset = onsetMs(tone, fromMs, stableMs);
        if (onset >= 0 || deadline.hasExpired())
            return onset;
        QTest::qWait(50);
    }
}

double Capture::silenceStartNear(double onsetMs) const
{
    double edge = onsetMs;
    while (edge > onsetMs - 2 * kWindowMs && edge >= 1 && peak(edge - 1, edge) < kSilence)
        edge -= 1;
    return edge;
}

double Capture::soundStartNear(double onsetMs) const
{
    double edge = onsetMs;
    while (edge > onsetMs - 2 * kWindowMs && edge >= 1 && peak(edge - 1, edge) >= kSilence)
        edge -= 1;
    return edge;
}

bool Capture::steady(double tone, double fromMs, double toMs) const
{
    const int first = std::max(0, int(std::ceil(fromMs / kWindowMs)));
    const int last = int(std::floor(toMs / kWindowMs)); // exclusive
    if (last > d->classes.size() || first >= last)
        return false;
    for (int i = first; i < last; ++i) {
        if (d->classes.at(i) != tone)
            return false;
    }
    return true;
}

QString Capture::describe(double fromMs, double toMs) const
{
    QStringList parts;
    const int first = std::max(0, int(fromMs / kWindowMs));
    const int last = std::min(int(d->classes.size()), int(toMs / kWindowMs) + 1);
    int runStart = first;
    for (int i = first; i <= last; ++i) {
        if (i == last || d->classes.at(i) != d->classes.at(runStart)) {
            if (i > runStart) {
                const double c = d->classes.at(runStart);
                const QString what = c > 0 ? QStringLiteral("%1 Hz").arg(c)
                                           : c == 0 ? QStringLiteral("silence") : QStringLiteral("other");
                parts.append(QStringLiteral("%1 %2-%3 ms").arg(what).arg(runStart * kWindowMs).arg(i * kWindowMs));
            }
            runStart = i;
        }
    }
    return parts.join(QStringLiteral(", "));
}

double Capture::peak(double fromMs, double toMs) const
{
    return ToneAnalysis::peakLevel(ToneAnalysis::stereo(d->samples, kRate), frameAt(fromMs), frameAt(toMs));
}

double Capture::largestStep(double fromMs, double toMs) const
{
    return ToneAnalysis::largestStep(ToneAnalysis::stereo(d->samples, kRate), frameAt(fromMs), frameAt(toMs));
}

double Capture::longestGapMs(double fromMs, double toMs) const
{
    return longestSilentGapMs(slice(d->samples, fromMs, toMs), kSilence);
}

bool Capture::saveWav(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const quint32 dataBytes = quint32(d->samples.size() * 2);
    auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
    const QByteArray header = "RIFF" + u32(36 + dataBytes) + "WAVEfmt " + u32(16) + u16(1) + u16(2) + u32(kRate)
            + u32(kRate * 4) + u16(4) + u16(16) + "data" + u32(dataBytes);
    return file.write(header) == header.size()
            && file.write(reinterpret_cast<const char *>(d->samples.constData()), dataBytes) == qint64(dataBytes);
}

// ------------------------------------------------------------------- SinkTone

struct SinkTone::Private
{
    PulseServer *pulse = nullptr;
    QString sink;
    double frequencyHz = 0;
    double amplitude = 0;
    QTemporaryDir dir { QDir::tempPath() + QStringLiteral("/ondaline-tone-XXXXXX") };
    QProcess process;
    std::unique_ptr<PcmFeeder> feeder;
    bool silent = false;
};

SinkTone::SinkTone(PulseServer *pulse, QString sink, double frequencyHz, double amplitude)
    : d(std::make_unique<Private>())
{
    d->pulse = pulse;
    d->sink = std::move(sink);
    d->frequencyHz = frequencyHz;
    d->amplitude = amplitude;
}

SinkTone::~SinkTone()
{
    stop();
}

bool SinkTone::start(QString *error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    if (!checkPrograms({ QStringLiteral("pacat") }, error) || !makeTempDir(d->dir, error))
        return false;
    const QString fifo = d->dir.filePath(QStringLiteral("tone.pcm"));
    d->feeder = std::make_unique<PcmFeeder>(fifo, 48000, d->frequencyHz, d->amplitude);
    d->feeder->setSilent(d->silent);
    if (!d->feeder->createFifo(error))
        return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PULSE_SERVER"), d->pulse->serverAddress());
    d->process.setProcessEnvironment(env);
    d->process.setStandardOutputFile(QProcess::nullDevice());
    d->process.setStandardErrorFile(d->dir.filePath(QStringLiteral("pacat.log")));
    dieWithParent(d->process);
    d->process.start(QStringLiteral("pacat"),
                     { QStringLiteral("--playback"), QStringLiteral("-d"), d->sink, QStringLiteral("--rate=48000"),
                       QStringLiteral("--channels=2"), QStringLiteral("--format=s16le"),
                       QStringLiteral("--latency-msec=20"), QStringLiteral("--client-name=tone"), fifo });
    if (!d->process.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("pacat into %1 did not start: %2").arg(d->sink, d->process.errorString());
        return false;
    }
    d->feeder->start();
    return true;
}

void SinkTone::setSilent(bool silent)
{
    d->silent = silent;
    if (d->feeder)
        d->feeder->setSilent(silent);
}

void SinkTone::stop()
{
    stopProcess(d->process, SIGKILL);
    if (d->feeder)
        d->feeder->stop();
}

// ------------------------------------------------------------------- analysis

QList<Window> toneTimeline(const QVector<qint16> &stereo, int windowMs, int sampleRate)
{
    QList<Window> timeline;
    for (const ToneAnalysis::Window &w :
         ToneAnalysis::toneTimeline(ToneAnalysis::stereo(stereo, sampleRate), windowMs))
        timeline.append(Window { w.startMs, w.frequencyHz, w.peak });
    return timeline;
}

double dominantFrequency(const QVector<qint16> &stereo, int sampleRate)
{
    return ToneAnalysis::dominantFrequency(ToneAnalysis::stereo(stereo, sampleRate));
}

double peakLevel(const QVector<qint16> &stereo)
{
    return ToneAnalysis::peakLevel(ToneAnalysis::stereo(stereo));
}

double largestStep(const QVector<qint16> &stereo, qsizetype from, qsizetype to)
{
    return ToneAnalysis::largestStep(ToneAnalysis::stereo(stereo), from, to);
}

double longestSilentGapMs(const QVector<qint16> &stereo, double threshold, int sampleRate)
{
    return ToneAnalysis::longestSilentGapMs(ToneAnalysis::stereo(stereo, sampleRate), threshold);
}

QVector<qint16> slice(const QVector<qint16> &stereo, double fromMs, double toMs, int sampleRate)
{
    const qsizetype frames = stereo.size() / 2;
    const qsizetype from = std::clamp<qsizetype>(qsizetype(fromMs * sampleRate / 1000.0), 0, frames);
    const qsizetype to = std::clamp<qsizetype>(qsizetype(toMs * sampleRate / 1000.0), from, frames);
    return stereo.mid(from * 2, (to - from) * 2);
}

QVector<qint16> tail(const QVector<qint16> &stereo, int ms, int sampleRate)
{
    const double totalMs = double(stereo.size() / 2) * 1000.0 / sampleRate;
    return slice(stereo, totalMs - ms, totalMs, sampleRate);
}

} // namespace StationHarness
