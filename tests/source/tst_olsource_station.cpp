// OLSource with real peers: an icecast stream fed with a tone, and the
// output sink's monitor to hear what is played.
#include "sourcetestsupport.h"
#include "stationharness.h"

#include "cvbass.h"

#include <QTest>
#include <cmath>

using namespace StationHarness;

namespace {
bool near(double value, double expected, double tolerance) { return std::abs(value - expected) <= tolerance; }
}

class TestOLSourceStation : public QObject
{
    Q_OBJECT

    PulseServer m_pulse;
    IcecastServer m_icecast;
    std::unique_ptr<HubFixture> m_hub;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_pulse.start(&error) && m_icecast.start(&error), qPrintable(error));
        m_hub = std::make_unique<HubFixture>();
        m_hub->hub->setSilenceDetectionStartMs(500);
        m_hub->hub->setSilenceDetectionEndMs(500);
        CVBass::outputDevice = -1;
        QVERIFY(CVBass::init());
    }

    void cleanupTestCase()
    {
        CVBass::free();
        m_hub.reset();
    }

    // Connected, metered, sounding; its start phases in order; heard exactly
    // while active; silent by its feed's silence yet connected; disconnected
    // by the feed's loss.
    void streamSource()
    {
        QString error;
        ToneFeed feed(&m_icecast, QStringLiteral("tone.mp3"), 440);
        QVERIFY2(feed.start(&error), qPrintable(error));
        ProbedSource source(m_hub->hub.get(), feed.url(), 1.0);
        Capture output(&m_pulse);
        QVERIFY2(output.start(&error), qPrintable(error));
        QList<ActivityRule::Start> phases;
        connect(&source, &OLSource::startPhaseChanged, &source, [&] { phases.append(source.startPhase()); });
        source.play();
        QTRY_VERIFY_WITH_TIMEOUT(source.isConnected() && source.isPlaying(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(near(source.levelDb(), -18, 2) && !source.isSilentSound(), 10000);
        QTRY_COMPARE(source.startPhase(), ActivityRule::Start::Settled);
        QCOMPARE(phases.first(), ActivityRule::Start::Pending);
        QVERIFY(phases.contains(ActivityRule::Start::Sounding));
        QTRY_VERIFY_WITH_TIMEOUT(near(source.avgLevel(), 0.125, 0.02), 5000);

        auto heard = [&] { return tail(output.samples(), 200); };
        QTest::qWait(300);
        QVERIFY2(peakLevel(heard()) < 0.001, "an inactive source was heard");
        source.setIsActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(near(dominantFrequency(heard()), 440, 5) && near(peakLevel(heard()), 0.125, 0.02), 10000);
        source.setIsActive(false);
        QTRY_VERIFY_WITH_TIMEOUT(peakLevel(heard()) < 0.001, 10000);
        output.stop();

        feed.setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(source.isSilentSound(), 8000);
        QVERIFY(source.isConnected());
        feed.setSilent(false);
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 8000);
        feed.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!source.isConnected(), 5000);
        QVERIFY(source.isPlaying());
        source.stopSync();
        QVERIFY(!source.playerIsPlaying());
        QTRY_VERIFY(!source.isPlaying());
    }
};

QTEST_GUILESS_MAIN(TestOLSourceStation)
#include "tst_olsource_station.moc"
