// OLSource with real peers: an icecast stream fed with a tone, a fake
// microphone, and the output sink's monitor to hear what is played.
#include "sourcetestsupport.h"
#include "stationharness.h"

#include "cvbass.h"
#include "cvdevices.h"

#include <QTest>
#include <cmath>

using namespace StationHarness;

namespace {

bool near(double value, double expected, double tolerance)
{
    return std::abs(value - expected) <= tolerance;
}

// The recording device number of the fake microphone, -1 if not listed.
int fakeMicrophoneDevice()
{
    BASS_DEVICEINFO info;
    for (quint32 device = 0; BASS_RecordGetDeviceInfo(device, &info); ++device) {
        const QByteArray name = QByteArray(info.name) + ' ' + QByteArray(info.driver);
        if (name.contains("Virtual_Mic") || name.contains("ondaline_vmic"))
            return int(device);
    }
    return -1;
}

} // namespace

class TestOLSourceStation : public QObject
{
    Q_OBJECT

    PulseServer m_pulse;
    IcecastServer m_icecast;
    std::unique_ptr<HubFixture> m_hub;
    bool m_outputOpen = false;

    // The output opens once a player exists, as the program does it.
    void openOutput()
    {
        if (m_outputOpen)
            return;
        CVBass::outputDevice = -1; // the default sink: ondaline_out
        QVERIFY(CVBass::init());
        m_outputOpen = true;
    }

private slots:
    void initTestCase()
    {
        QString error;
        // Before anything asks Qt Multimedia for devices.
        QVERIFY2(m_pulse.start(&error), qPrintable(error));
        QVERIFY2(m_icecast.start(&error), qPrintable(error));
        m_hub = std::make_unique<HubFixture>();
        m_hub->hub->setSilenceDetectionStartMs(500);
        m_hub->hub->setSilenceDetectionEndMs(500);
    }

    void cleanupTestCase()
    {
        if (m_outputOpen)
            CVBass::free();
        m_hub.reset();
    }

    // Connected, metered and sounding; heard exactly while active; the
    // digital silence of its feed turns it silent, losing the feed
    // disconnects it.
    void streamSource()
    {
        QString error;
        ToneFeed feed(&m_icecast, QStringLiteral("tone.mp3"), 440);
        QVERIFY2(feed.start(&error), qPrintable(error));
        ProbedSource source(m_hub->hub.get(), feed.url(), 1.0);
        openOutput();
        Capture output(&m_pulse);
        QVERIFY2(output.start(&error), qPrintable(error));

        // While it starts, the choice of the heard source follows its
        // progress: connecting, then connected before its first verdict.
        QList<ActivityRule::Start> phases;
        connect(&source, &OLSource::startPhaseChanged, &source, [&] { phases.append(source.startPhase()); });
        source.play();
        QTRY_VERIFY_WITH_TIMEOUT(source.isConnected(), 10000);
        QVERIFY(source.isPlaying());
        // The tone peaks at -18 dBFS, whatever the volume.
        QTRY_VERIFY_WITH_TIMEOUT(near(source.levelDb(), -18, 2), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 10000);
        QTRY_COMPARE(source.startPhase(), ActivityRule::Start::Settled);
        QCOMPARE(phases.first(), ActivityRule::Start::Pending);
        QVERIFY(phases.contains(ActivityRule::Start::Sounding));
        QCOMPARE(phases.last(), ActivityRule::Start::Settled);
        QTRY_VERIFY_WITH_TIMEOUT(near(source.avgLevel(), 0.125, 0.02), 5000);

        QTest::qWait(300);
        QVERIFY2(peakLevel(tail(output.samples(), 300)) < 0.001, "an inactive source was heard");
        source.setIsActive(true);
        QTRY_VERIFY_WITH_TIMEOUT(near(dominantFrequency(tail(output.samples(), 200)), 440, 5), 10000);
        QVERIFY(near(peakLevel(tail(output.samples(), 200)), 0.125, 0.02));
        source.setVolumeLevel(0.5);
        QTRY_VERIFY_WITH_TIMEOUT(near(peakLevel(tail(output.samples(), 200)), 0.0625, 0.01), 10000);
        source.setIsActive(false);
        QTRY_VERIFY_WITH_TIMEOUT(peakLevel(tail(output.samples(), 200)) < 0.001, 10000);
        output.stop();

        feed.setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(source.isSilentSound(), 8000);
        QVERIFY(source.isConnected()); // silent, yet connected
        feed.setSilent(false);
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 8000);

        feed.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!source.isConnected(), 5000);
        QVERIFY(source.isPlaying()); // the player keeps trying

        // The feed comes back on the same mount: so does the source.
        ToneFeed again(&m_icecast, QStringLiteral("tone.mp3"), 440);
        QVERIFY2(again.start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(source.isConnected(), 15000);

        source.stopSync();
        QVERIFY(!source.playerIsPlaying());
        QTRY_VERIFY(!source.isPlaying());
    }

    // A recording device plays the fake microphone and is connected
    // whatever its player says.
    void recordingSource()
    {
        const int device = fakeMicrophoneDevice();
        QVERIFY2(device >= 0, "the fake microphone is not among the recording devices");
        QString error;
        SinkTone tone(&m_pulse, QStringLiteral("ondaline_mic"), 1000);
        QVERIFY2(tone.start(&error), qPrintable(error));

        ProbedSource source(m_hub->hub.get(), QUrl(QStringLiteral("record:%1").arg(device)), 1.0);
        openOutput();
        QVERIFY(source.isConnected());
        source.play();
        QTRY_VERIFY_WITH_TIMEOUT(source.isPlaying(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(near(source.levelDb(), -18, 2), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 10000);
        tone.setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(source.isSilentSound(), 5000);
        QVERIFY(source.isConnected());
        source.stopSync();
    }
};

QTEST_GUILESS_MAIN(TestOLSourceStation)
#include "tst_olsource_station.moc"
