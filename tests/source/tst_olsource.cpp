// OLSource without sound: state, volume rule, metering, silence verdict,
// stall watchdog and the life of its player thread.
#include "sourcetestsupport.h"

#include <QElapsedTimer>
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

    std::unique_ptr<LogRecorder> m_log; // after Qt Test has installed its handler

private slots:
    void initTestCase() { m_log = std::make_unique<LogRecorder>(); }
    void cleanup() { OLSource::setStuckTimeoutMs(300000); }

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
        QTRY_VERIFY(source.activityDurationMs() >= 500);
        QVERIFY(source.connectionDurationMs() >= 500);
        source.setIsActive(true);
        source.updateIsPlaying(true);
        QTRY_VERIFY(source.isConnected());
        QTRY_VERIFY_WITH_TIMEOUT(source.activityDurationMs() < 300 && source.connectionDurationMs() < 300, 1000);
    }

    // Averages advance per change of level: a running sum over 30 samples.
    void averageLevel()
    {
        ProbedSource source(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        source.updateLevel(0.3);
        QCOMPARE(source.avgLevel(), 0.3 / 30);
        QCOMPARE(source.avgLevelDb(), 20 * std::log10(0.3 / 30));
        for (int i = 1; i < 30; ++i)
            source.updateLevel(i % 2 ? 0.5 : 0.3);
        QVERIFY(qFuzzyCompare(source.avgLevel(), 0.4));
        // The 31st sample pushes out the first (0.3), the 32nd the second (0.5).
        source.updateLevel(0.3);
        QVERIFY(qFuzzyCompare(source.avgLevel(), 0.4));
        source.updateLevel(0.9);
        QVERIFY(qFuzzyCompare(source.avgLevel(), 0.4 - 0.5 / 30 + 0.9 / 30));

        // The average is of what would be heard: level times volume.
        ProbedSource loud(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 2.0);
        for (int i = 0; i < 60; ++i)
            loud.updateLevel(i % 2 ? 1.0 : 0.999);
        QVERIFY(std::abs(loud.avgLevel() - 2.0) < 0.002);

        // A stop starts the ramp again from an empty window.
        loud.stopSync();
        QCOMPARE(loud.avgLevel(), 0.0);
        QCOMPARE(loud.avgLevelDb(), -kInf);
        loud.updateLevel(0.6);
        QCOMPARE(loud.avgLevel(), 0.6 * 2.0 / 30);
    }

    void silenceByLevelAtTheThreshold_data()
    {
        QTest::addColumn<double>("levelDb");
        QTest::addColumn<bool>("silent");
        QTest::newRow("equal to the threshold") << -50.0 << true;
        QTest::newRow("just above") << -49.99 << false;
        QTest::newRow("minus infinity") << -kInf << true;
        QTest::newRow("NaN counts as sound") << std::numeric_limits<double>::quiet_NaN() << false;
    }
    void silenceByLevelAtTheThreshold()
    {
        QFETCH(double, levelDb);
        QFETCH(bool, silent);
        ProbedSource source(nullptr, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        source.updateLevelDb(silent ? -20.0 : -60.0);
        QCOMPARE(source.isSilentSoundByLevel(), !silent);
        source.updateLevelDb(levelDb);
        QCOMPARE(source.isSilentSoundByLevel(), silent);
        QVERIFY(source.soundByLevelDurationMs() < 100);
    }

    // Silence is declared once the level has stayed at or below the threshold
    // for silenceDetectionStartMs: when it falls due, not at the next 250 ms
    // update (the slack below is the polling of QTRY and a loaded machine).
    void silenceVerdictHysteresis()
    {
        HubFixture fixture;
        fixture.hub->setSilenceDetectionStartMs(400);
        fixture.hub->setSilenceDetectionEndMs(600);
        ProbedSource source(fixture.hub.get(), QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        QVERIFY(source.isSilentSound());

        // Sound for 400 ms, one dip below the threshold: the count starts over.
        QElapsedTimer clock;
        source.updateLevelDb(-20);
        QTest::qWait(400);
        source.updateLevelDb(-60);
        source.updateLevelDb(-20);
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 2000);
        QVERIFY2(clock.elapsed() >= 600, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(clock.elapsed() <= 600 + 150, qPrintable(QString::number(clock.elapsed())));

        clock.start();
        source.updateLevelDb(-kInf);
        QTRY_VERIFY_WITH_TIMEOUT(source.isSilentSound(), 2000);
        QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(clock.elapsed() <= 400 + 150, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY(source.soundDurationMs() < 300); // counts from the change of verdict
    }

    // The hub's settings apply at once to the running counts.
    void settingChangesApplyToTheRunningCount()
    {
        HubFixture fixture;
        fixture.hub->setSilenceDetectionLevelDb(-30);
        fixture.hub->setSilenceDetectionEndMs(100);
        fixture.hub->setSilenceDetectionStartMs(5000);
        ProbedSource source(fixture.hub.get(), QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        source.updateLevelDb(-40); // silent by the hub's threshold, not by the default one
        QVERIFY(source.isSilentSoundByLevel());
        source.updateLevelDb(-20);
        QTRY_VERIFY(!source.isSilentSound());

        source.updateLevelDb(-kInf);
        QTest::qWait(300);
        QVERIFY(!source.isSilentSound());
        fixture.hub->setSilenceDetectionStartMs(200); // below the elapsed count
        QVERIFY(source.isSilentSound());

        fixture.hub->setSilenceDetectionLevelDb(-200); // now -inf is the only silence
        source.updateLevelDb(-150);
        QVERIFY(!source.isSilentSoundByLevel());
    }

    void stuckLevelRestartsTheSource()
    {
        OLSource::setStuckTimeoutMs(600);
        LogRecorder &log = *m_log;
        log.clear();
        ProbedSource source(nullptr, deadStreamUrl(), 1.0);
        source.play();
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("was stuck, restarting")) == 1, 2000);
        QVERIFY(clock.elapsed() >= 600);
        QTRY_VERIFY(log.count(QStringLiteral("Restart source")) >= 1);
        QTRY_VERIFY(source.isPlaying()); // the restart plays the current URL
        // And again while the level stays frozen.
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("was stuck, restarting")) >= 2, 2000);
        source.stopSync();
    }

    void movingLevelOrARequestedStopIsNotStuck()
    {
        OLSource::setStuckTimeoutMs(600);
        LogRecorder &log = *m_log;
        log.clear();
        ProbedSource source(nullptr, deadStreamUrl(), 1.0);
        // Never played (logged out since the start): nothing puts it on air.
        QTest::qWait(1500);
        QCOMPARE(log.count(QStringLiteral("was stuck")), 0);
        QVERIFY(!source.isPlaying());

        source.play();
        QTRY_VERIFY(source.isPlaying());
        for (int i = 0; i < 12; ++i) {
            source.updateLevelDb(i % 2 ? -20.0 : -21.0);
            QTest::qWait(100);
        }
        QCOMPARE(log.count(QStringLiteral("was stuck")), 0);

        // A stopped source stays stopped (after logout, say), however long.
        source.stop();
        QTRY_VERIFY(!source.isPlaying());
        QTest::qWait(1500);
        QCOMPARE(log.count(QStringLiteral("was stuck")), 0);
        QVERIFY(!source.isPlaying());
        // Played again, it is watched again.
        source.play();
        QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("was stuck, restarting")) == 1, 2000);
    }

    void playStopRestartAndTheLog()
    {
        LogRecorder &log = *m_log;
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
