// OLSource without sound: state, volume rule, metering, silence verdict,
// stall watchdog and the life of its player thread.
#include "sourcetestsupport.h"

#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <limits>

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}

class TestOLSource : public QObject
{
    Q_OBJECT

    std::unique_ptr<LogSpy> m_log; // after Qt Test has installed its handler

private slots:
    void initTestCase() { m_log = std::make_unique<LogSpy>(); }
    void cleanup() { OLSource::setStuckTimeoutMs(StallWatchdog::defaultTimeoutMs); }

    void initialState()
    {
        ProbedSource stream(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 0.7);
        QCOMPARE(stream.volumeLevel(), 0.7);
        QVERIFY(!stream.isRecordDevice());
        QVERIFY(!stream.isConnected());
        QCOMPARE(stream.avgLevel(), 0.0);
        QCOMPARE(stream.avgLevelDb(), -kInf);
        QVERIFY(stream.isSilentSound());
        QVERIFY(stream.displayName().startsWith(stream.player()->playerName() + QStringLiteral(" http://127.0.0.1:1/a.mp3")));

        // A recording device counts as connected before it ever plays.
        ProbedSource record(nullptr, QUrl(QStringLiteral("record:0")), 1.0);
        QVERIFY(record.isRecordDevice());
        QVERIFY(record.isConnected());
    }

    void connectionFollowsPlayingAndStalled()
    {
        ProbedSource source(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        QSignalSpy connected(&source, &OLSource::isConnectedChanged);
        source.updateIsPlaying(true);
        QVERIFY(!source.isConnected()); // follows one event-loop turn later
        QTRY_VERIFY(source.isConnected());
        source.updateIsStalled(true);
        QTRY_VERIFY(!source.isConnected());
        source.updateIsStalled(false);
        QTRY_VERIFY(source.isConnected());
        source.updateIsPlaying(false);
        QTRY_VERIFY(!source.isConnected());
        QCOMPARE(connected.count(), 4);
    }

    // The player hears volumeLevel exactly while the source is active.
    void volumeRule()
    {
        ProbedSource source(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 0.8);
        QCOMPARE(source.playerVolume(), 0.0);
        source.setIsActive(true);
        QCOMPARE(source.playerVolume(), 0.8);
        source.setVolumeLevel(1.5);
        QCOMPARE(source.playerVolume(), 1.5);
        source.setIsActive(false);
        QCOMPARE(source.playerVolume(), 0.0);
        source.setVolumeLevel(0.3);
        QCOMPARE(source.playerVolume(), 0.0);
        source.setIsActive(true);
        QCOMPARE(source.playerVolume(), 0.3);
    }

    void durationsRestartOnChange()
    {
        ProbedSource source(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        // Restarted, both stay well below what they had reached before.
        QTRY_VERIFY_WITH_TIMEOUT(source.activityDurationMs() >= 3000, 10000);
        QVERIFY(source.connectionDurationMs() >= 3000);
        source.setIsActive(true);
        source.updateIsPlaying(true);
        QTRY_VERIFY_WITH_TIMEOUT(source.isConnected(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(source.activityDurationMs() < 2000 && source.connectionDurationMs() < 2000, 10000);
    }

    // The source feeds its decisions: the level and the hub's settings reach
    // the verdict, what would be heard reaches the average, and a stop
    // starts the average again.
    void decisionsAreFedByTheSourceAndTheHub()
    {
        HubFixture fixture;
        fixture.hub->setSilenceDetectionLevelDb(-30);
        fixture.hub->setSilenceDetectionEndMs(100);
        ProbedSource source(fixture.hub.get(), QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 2.0);
        source.updateLevelDb(-40); // silent by the hub's threshold, not by the default one
        QVERIFY(source.isSilentSoundByLevel());
        source.updateLevelDb(-20);
        QTRY_VERIFY(!source.isSilentSound());
        QTRY_VERIFY(source.soundDurationMs() < 300); // counts from the change of verdict

        source.updateLevel(0.3);
        QCOMPARE(source.avgLevel(), 0.3 * 2.0 / 30);
        QCOMPARE(source.avgLevelDb(), 20 * std::log10(0.3 * 2.0 / 30));
        source.stopSync();
        QCOMPARE(source.avgLevel(), 0.0);
        QCOMPARE(source.avgLevelDb(), -kInf);
        source.updateLevel(0.6);
        QCOMPARE(source.avgLevel(), 0.6 * 2.0 / 30);
    }

    // A frozen level restarts a played source, again while it stays
    // frozen; a source never played or stopped on request is left alone.
    void stuckLevelRestartsOnlyAPlayedSource()
    {
        OLSource::setStuckTimeoutMs(600);
        LogSpy &log = *m_log;
        log.clear();
        ProbedSource source(nullptr, deadStreamUrl(), 1.0);
        QTest::qWait(1500);
        QCOMPARE(log.count(QStringLiteral("was stuck")), 0);

        source.play();
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("was stuck, restarting")) == 1, 5000);
        QTRY_VERIFY(log.count(QStringLiteral("Restart source")) >= 1);
        QTRY_VERIFY(source.isPlaying()); // the restart plays the current URL
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("was stuck, restarting")) >= 2, 5000);

        source.stop();
        QTRY_VERIFY(!source.isPlaying());
        log.clear();
        QTest::qWait(1500);
        QCOMPARE(log.count(QStringLiteral("was stuck")), 0);
        QVERIFY(!source.isPlaying());
    }

    void playStopRestartAndTheLog()
    {
        LogSpy &log = *m_log;
        log.clear();
        const QUrl first = deadStreamUrl(QStringLiteral("7"), QStringLiteral("secretsid"));
        ProbedSource source(nullptr, first, 1.0);
        const QString name = source.player()->playerName();
        source.play();
        QTRY_VERIFY(source.isPlaying());
        QVERIFY(source.isStalled());
        QVERIFY(!source.isConnected());

        source.restart();
        QTRY_VERIFY(log.count(QStringLiteral("Restart source")) == 1);
        QTRY_VERIFY(log.count(QStringLiteral("start playing")) == 2);

        const QUrl second = deadStreamUrl(QStringLiteral("7"), QStringLiteral("othersid"));
        source.play(second);
        QTRY_COMPARE(source.streamUrl(), second);
        QTRY_VERIFY(log.count(QStringLiteral("start playing")) == 3);

        source.stopSync();
        QVERIFY(!source.playerIsPlaying());
        QTRY_VERIFY(!source.isPlaying());

        const QStringList lines = log.lines();
        QVERIFY(!lines.filter(QStringLiteral("secretsid")).size());
        QVERIFY(!lines.filter(QStringLiteral("othersid")).size());
        const QString expected = QStringLiteral("Source \"%1 %2\" start playing \"%3\"")
                                     .arg(name, first.toString(QUrl::RemoveUserInfo),
                                          second.toString(QUrl::RemoveUserInfo));
        QVERIFY2(lines.contains(expected), qPrintable(lines.join(u'\n')));
        QVERIFY(lines.contains(QStringLiteral("\"%1 %2\" Restart source").arg(name, first.toString(QUrl::RemoveUserInfo))));
    }

    void playingARecordingDeviceMarksIt()
    {
        ProbedSource source(nullptr, deadStreamUrl(), 1.0);
        QSignalSpy spy(&source, &OLSource::isRecordDeviceChanged);
        source.play(QUrl(QStringLiteral("record:99"))); // no such device: it stays stalled
        QTRY_VERIFY(source.isRecordDevice());
        QCOMPARE(spy.count(), 1);
        source.stopSync();
    }

    // The player thread ends and the player is deleted with the source,
    // whatever the player was doing.
    void destructionJoinsThePlayerThread()
    {
        QPointer<CVPlayer> player;
        {
            ProbedSource source(nullptr, deadStreamUrl(), 1.0);
            player = source.player();
            source.play();
            source.setIsActive(true);
            QTRY_VERIFY(source.isPlaying());
        }
        QVERIFY(player.isNull());

        // Destroyed at once, with work still queued for the player.
        {
            ProbedSource source(nullptr, deadStreamUrl(), 1.0);
            player = source.player();
            source.play();
            source.restart();
            source.stop();
        }
        QVERIFY(player.isNull());
    }
};

QTEST_GUILESS_MAIN(TestOLSource)
#include "tst_olsource.moc"
