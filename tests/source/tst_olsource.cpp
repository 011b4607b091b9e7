// OLSource without sound: what it derives from its player and the hub, and
// the life of its player thread.
#include "cvqueuedcall.h"
#include "sourcetestsupport.h"

#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <future>

namespace {
// Nothing listens there: the player plays it and stays stalled.
const QUrl deadUrl(QStringLiteral("http://127.0.0.1:1/a.mp3"));
// What is played is a missing device: a stream input's end, behind Qt's own
// thread wait, is hidden from a thread sanitizer.
const QUrl missingDevice(QStringLiteral("record:99"));
}

class TestOLSource : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestSupport::LogSpy> m_log; // after Qt Test's own handler

private slots:
    void initTestCase() { m_log = std::make_unique<TestSupport::LogSpy>(); }
    void cleanup() { OLSource::setStuckTimeoutMs(StallWatchdog::defaultTimeoutMs); }

    // Connected while playing and not stalled, a recording device always; the
    // player hears volumeLevel exactly while the source is active, at once; each
    // duration restarts when its state changes.
    void stateFollowsThePlayerAndTheActivity()
    {
        QVERIFY(ProbedSource(nullptr, QUrl(QStringLiteral("record:0")), 1.0).isConnected());
        ProbedSource source(nullptr, deadUrl, 0.8);
        QVERIFY(!source.isConnected() && source.isSilentSound());
        QTRY_VERIFY_WITH_TIMEOUT(source.activityDurationMs() >= 3000 && source.connectionDurationMs() >= 3000, 10000);
        QSignalSpy connected(&source, &OLSource::isConnectedChanged);
        for (const auto &[playing, stalled, expected] : { std::tuple(true, false, true), { true, true, false },
                                                          { true, false, true }, { false, false, false } }) {
            source.updateIsPlaying(playing);
            source.updateIsStalled(stalled);
            QTRY_COMPARE(source.isConnected(), expected);
        }
        QCOMPARE(connected.count(), 4);
        std::promise<void> release; // a busy player thread must not hold the volume back
        CVQueuedCall::post(source.player(), [held = release.get_future().share()] { held.wait(); });
        for (const auto &[active, level, heard] : { std::tuple(false, 0.8, 0.0), { true, 0.8, 0.8 }, { true, 1.5, 1.5 },
                                                    { false, 1.5, 0.0 }, { false, 0.3, 0.0 }, { true, 0.3, 0.3 } }) {
            source.setIsActive(active);
            source.setVolumeLevel(level);
            QCOMPARE(source.player()->volume(), heard);
        }
        release.set_value();
        QTRY_VERIFY_WITH_TIMEOUT(source.activityDurationMs() < 2000 && source.connectionDurationMs() < 2000, 10000);
    }

    // The level and the hub's settings reach the verdict, what would be heard
    // reaches the average, and a stop starts the average again.
    void decisionsAreFedByTheSourceAndTheHub()
    {
        TestSupport::WorkDir dir;
        OLHub hub;
        hub.setSilenceDetectionLevelDb(-30);
        hub.setSilenceDetectionEndMs(100);
        ProbedSource source(&hub, deadUrl, 2.0);
        source.updateLevelDb(-40);
        QVERIFY(source.isSilentSoundByLevel());
        source.updateLevelDb(-20);
        QTRY_VERIFY(!source.isSilentSound());
        QTRY_VERIFY(source.soundDurationMs() < 300);
        source.updateLevel(0.3);
        QCOMPARE(source.avgLevelDb(), 20 * std::log10(0.3 * 2.0 / 30));
        source.stopSync();
        QVERIFY(source.avgLevel() == 0.0 && source.avgLevelDb() == -qInf());
        source.updateLevel(0.6);
        QCOMPARE(source.avgLevel(), 0.6 * 2.0 / 30);
    }

    // A frozen level restarts a played source, again while it stays frozen;
    // one never played or stopped on request is left alone.
    void stuckLevelRestartsOnlyAPlayedSource()
    {
        OLSource::setStuckTimeoutMs(600);
        m_log->clear();
        ProbedSource source(nullptr, missingDevice, 1.0);
        QVERIFY(!m_log->loggedWithin(QStringLiteral("was stuck"), 1500));
        source.play();
        QTRY_VERIFY_WITH_TIMEOUT(m_log->count(QStringLiteral("was stuck, restarting")) == 1, 5000);
        QTRY_VERIFY(m_log->count(QStringLiteral("Restart source")) >= 1 && source.isPlaying());
        QTRY_VERIFY_WITH_TIMEOUT(m_log->count(QStringLiteral("was stuck, restarting")) >= 2, 5000);
        source.stop();
        QTRY_VERIFY(!source.isPlaying());
        QVERIFY(!m_log->loggedWithin(QStringLiteral("was stuck"), 1500));
    }

    // Restart and a new URL are logged as such (the log names the source
    // and its URL); the player goes with the source, even with work queued.
    void playRestartStopAndTheLog()
    {
        m_log->clear();
        const QUrl second(QStringLiteral("record:98"));
        QPointer<CVPlayer> player;
        {
            ProbedSource source(nullptr, missingDevice, 1.0);
            player = source.player();
            const QString name = source.player()->playerName() + u' ' + missingDevice.toString();
            source.play();
            QTRY_VERIFY(source.isPlaying());
            source.restart();
            QTRY_VERIFY(m_log->count(QStringLiteral("\"%1\" Restart source").arg(name)) == 1);
            source.play(second);
            const QString started = QStringLiteral("Source \"%1\" start playing \"%2\"").arg(name, second.toString());
            QTRY_VERIFY(source.streamUrl() == second && m_log->count(started) == 1);
            source.stopSync();
            // Read in the player's thread after the stop; a future, which a thread sanitizer sees.
            std::promise<bool> playing;
            CVQueuedCall::post(source.player(), [p = source.player(), &playing] { playing.set_value(p->isPlaying()); });
            QVERIFY(!playing.get_future().get());
            QTRY_VERIFY(!source.isPlaying());
            source.play(); // work still queued to the player's thread at the end
            source.setIsActive(true);
            source.restart();
            source.stop();
        }
        QVERIFY(player.isNull());
    }
};

QTEST_GUILESS_MAIN(TestOLSource)
#include "tst_olsource.moc"
