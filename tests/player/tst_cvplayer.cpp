// The player against real peers: icecast streams fed with tones, a local web
// server of bad inputs, and a private PulseAudio daemon whose output is captured.
#include "cvbass.h"
#include "cvdevices.h"
#include "cvplayer.h"
#include "stationharness.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <memory>

using namespace StationHarness;
using TestSupport::waitFor;

#define START(peer) QVERIFY2((peer).start(&m_error), qPrintable(m_error))

namespace {

bool nearTone(double db) { return std::abs(db - -18.06) < 1.5; } // the feeds' 0.125

qint64 msTaken(const std::function<void()> &call)
{
    QElapsedTimer t;
    t.start();
    call();
    return t.elapsed();
}

// Each path a kind of bad input, or "/file" served as a web server serves a
// file, with ranges; counts the requests.
class BadServer : public QTcpServer
{
public:
    QByteArray file, lastRequest;
    QHash<QString, int> hits;

    explicit BadServer(QByteArray fileBody) : file(std::move(fileBody))
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
        });
    }
    QUrl url(const QString &path) const { return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path)); }

private:
    void answer(QTcpSocket *socket)
    {
        if (!socket->peek(4096).contains("\r\n\r\n"))
            return;
        lastRequest = socket->readAll();
        const QString path = QString::fromLatin1(lastRequest.split(' ').value(1));
        QByteArray head = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n", body;
        ++hits[path];
        if (path == u"/silent")
            return;
        if (path == u"/endless") { // a header line every 20 ms, never its end
            socket->write(head);
            auto *lines = new QTimer(socket);
            connect(lines, &QTimer::timeout, socket, [socket] { socket->write("X-Filler: 0123456789\r\n"); });
            lines->start(20);
            return;
        }
        if (path == u"/file") {
            const int range = lastRequest.indexOf("Range: bytes=");
            const qsizetype from = range < 0 ? 0 : lastRequest.mid(range + 13).split('-').value(0).toLongLong();
            body = file.mid(from);
            head = QStringLiteral("HTTP/1.1 %1\r\nContent-Type: audio/mpeg\r\nAccept-Ranges: bytes\r\nContent-Length: %2\r\n"
                                  "Content-Range: bytes %3-%4/%5\r\n")
                       .arg(range < 0 ? "200 OK" : "206 Partial Content").arg(body.size()).arg(from)
                       .arg(file.size() - 1).arg(file.size()).toLatin1();
        } else if (path == u"/html") {
            head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
            body = "<!DOCTYPE html><html><body><h1>Not a stream</h1></body></html>";
        } else if (path == u"/random") {
            for (int i = 0; i < 64 * 1024; ++i)
                body += char(i * 7919 % 251);
        } else if (path == u"/truncated") {
            body = file.left(file.size() / 4);
        }
        socket->write(head + "\r\n" + body);
        socket->disconnectFromHost();
    }
};

} // namespace

class TestCVPlayer : public QObject
{
    Q_OBJECT

    PulseServer m_pulse;
    IcecastServer m_icecast;
    ToneFeed m_a{ &m_icecast, QStringLiteral("/a.mp3"), 440 };
    QByteArray m_mp3; // 12 s of 330 Hz
    QString m_error;

    static std::unique_ptr<CVPlayer> player(const QUrl &url, double volume)
    {
        auto p = std::make_unique<CVPlayer>();
        p->setIsUpdatesLevel(true);
        p->setVolume(volume);
        p->play(url);
        return p;
    }
    static bool flowing(CVPlayer *p)
    {
        return waitFor([p] { return p->isPlaying() && !p->isStalled() && std::isfinite(p->levelDb()); }, 10000);
    }
    static void reopenOutput(int device)
    {
        CVBass::free();
        CVBass::outputDevice = device;
        QVERIFY(CVBass::init());
    }

private slots:
    void initTestCase()
    {
        START(m_pulse);
        START(m_icecast);
        START(m_a);
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"), QStringLiteral("-v error -f lavfi -i sine=frequency=330:sample_rate=44100:"
                                                              "duration=12 -c:a libmp3lame -b:a 128k -f mp3 -").split(u' '));
        QVERIFY(ffmpeg.waitForFinished(30000) && ffmpeg.exitCode() == 0);
        m_mp3 = ffmpeg.readAllStandardOutput();
        reopenOutput(-1);
    }
    void cleanupTestCase() { CVBass::free(); }

    // A stream metered whatever the volume; a 12 s file, which read at full
    // speed would end (and stall) at once, is paced; stop() never waits the
    // connection deadline. A missing device plays, stalled, the silence it meters.
    void streamFileAndMissingDevicePlayMeterAndStop()
    {
        BadServer server(m_mp3);
        auto p = player(m_a.url(), 0.0), f = player(server.url(QStringLiteral("/file")), 0.0);
        auto missing = player(QUrl(QStringLiteral("record:99")), 0.0);
        QSignalSpy missingStalls(missing.get(), &CVPlayer::isStalledChanged);
        QVERIFY(p->isPlaying() && p->isStalled());
        QVERIFY(flowing(p.get()) && flowing(f.get()));
        QSignalSpy levels(p.get(), &CVPlayer::levelDbChanged), fileStalls(f.get(), &CVPlayer::isStalledChanged);
        QTRY_VERIFY_WITH_TIMEOUT(levels.count() >= 10, 5000);
        QVERIFY2(nearTone(p->levelDb()), qPrintable(QString::number(p->levelDb())));
        QVERIFY(!fileStalls.wait(4000) && nearTone(f->levelDb()));
        QVERIFY(msTaken([&] { p->stop(); }) < 3000);
        QVERIFY(!p->isPlaying() && !p->isStalled() && std::isinf(p->levelDb()) && p->levelDb() < 0);
        QVERIFY(missingStalls.isEmpty() && missing->isPlaying() && missing->isStalled() && std::isinf(missing->levelDb()));
    }

    // Bad input stalls, is logged without the credentials it was sent with,
    // and is tried again; what is not a web stream is never opened; stop()
    // and the destructor never wait for the network.
    void badInputStaysStalled_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("retried");
        QTest::newRow("never answers") << "/silent" << false;
        QTest::newRow("endless header") << "/endless" << true;
        QTest::newRow("html page") << "/html" << true;
        QTest::newRow("random bytes") << "/random" << true;
        QTest::newRow("truncated stream") << "/truncated" << true;
        QTest::newRow("unknown mount") << "404" << false;
        QTest::newRow("local file") << "file" << false;
        QTest::newRow("other protocol") << "ftp" << false;
    }
    void badInputStaysStalled()
    {
        QFETCH(QString, path);
        QFETCH(bool, retried);
        BadServer server(m_mp3);
        QUrl url = path == u"404"      ? m_icecast.mountUrl(QStringLiteral("/nothing.mp3"))
                   : path == u"file"   ? QUrl::fromLocalFile(QStringLiteral("/tmp/tone.mp3"))
                   : path == u"ftp"    ? QUrl(QStringLiteral("ftp://127.0.0.1:1/tone.mp3"))
                                       : server.url(path);
        if (path == u"file" || path == u"ftp")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("does not play .*tone.mp3")));
        else
            url.setUserInfo(QStringLiteral("s3cr3t-user:s3cr3t-sid"));
        TestSupport::LogSpy log;
        auto p = player(url, 1.0);
        QSignalSpy stalled(p.get(), &CVPlayer::isStalledChanged);
        if (retried)
            QTRY_VERIFY_WITH_TIMEOUT(server.hits.value(path) >= 2, 20000);
        else
            QVERIFY(!stalled.wait(2000));
        QTRY_VERIFY_WITH_TIMEOUT(p->isPlaying() && p->isStalled(), 5000);
        QVERIFY(retried || std::isinf(p->levelDb()));
        QVERIFY(msTaken([&] { p->stop(); }) < 3000);
        QVERIFY(msTaken([&] { p.reset(); }) < 5000);
        QVERIFY2(server.hits.isEmpty() || server.lastRequest.contains("Authorization: Basic "
                                                                      + QByteArray("s3cr3t-user:s3cr3t-sid").toBase64() + "\r\n"),
                 server.lastRequest.constData());
        QVERIFY2(log.count(url.toString(QUrl::RemoveUserInfo)) > 0, qPrintable(log.lines().join(u'\n')));
        QCOMPARE(log.count(QStringLiteral("s3cr3t")), 0);
    }

    // "No sound" meters on the clock and reaches no sink. A lost device is
    // reported once, by playing players only, and metering goes on; failing to
    // open one is no failure; one that comes back is heard again by itself.
    void outputDevices()
    {
        const QStringList doomed{ QStringLiteral("sink_name=doomed"), QStringLiteral("sink_properties=device.description=Doomed") };
        const int module = m_pulse.loadModule(QStringLiteral("module-null-sink"), doomed);
        int number = -1;
        QVERIFY(module >= 0 && waitFor([&] {
            BASS_DEVICEINFO info;
            for (quint32 n = 1; BASS_GetDeviceInfo(n, &info); ++n)
                number = QByteArray(info.name) == "Doomed" ? int(n) : number;
            return number > 0 && BASS_GetDeviceInfo(0, &info) && QByteArray(info.name) == "No sound";
        }, 5000));
        reopenOutput(0);
        auto p = player(m_a.url(), 1.0), stopped = player(m_a.url(), 1.0);
        stopped->stop();
        QSignalSpy failures(p.get(), &CVPlayer::deviceFailure), stoppedFailures(stopped.get(), &CVPlayer::deviceFailure);
        QSignalSpy playing(p.get(), &CVPlayer::isPlayingChanged), levels(p.get(), &CVPlayer::levelChanged);
        QVERIFY(flowing(p.get()));
        Capture out(&m_pulse);
        START(out);
        QTest::qWait(1000);
        const auto unheard = out.stop();
        QVERIFY(!unheard.isEmpty() && peakLevel(unheard) < 0.001 && nearTone(p->levelDb()));
        reopenOutput(number);
        QVERIFY(m_pulse.unloadModule(module));
        QTRY_COMPARE_WITH_TIMEOUT(failures.count(), 1, 5000);
        levels.clear();
        QTRY_VERIFY_WITH_TIMEOUT(levels.count() >= 5, 5000);
        CVBass::free();
        QVERIFY(!CVBass::init());
        QVERIFY(!failures.wait(2000));
        const int again = m_pulse.loadModule(QStringLiteral("module-null-sink"), doomed);
        Capture doomedOut(&m_pulse, QStringLiteral("doomed.monitor"));
        START(doomedOut);
        QTest::qWait(4000);
        const double end = doomedOut.positionMs();
        const auto heard = slice(doomedOut.stop(), end - 1000, end);
        QVERIFY(again >= 0 && m_pulse.unloadModule(again));
        QVERIFY(nearTone(20 * std::log10(peakLevel(heard))));
        QCOMPARE(playing.count() + stoppedFailures.count(), 0);
        QCOMPARE(failures.count(), 1);
        p.reset();
        reopenOutput(-1);
    }
};

QTEST_GUILESS_MAIN(TestCVPlayer)
#include "tst_cvplayer.moc"
