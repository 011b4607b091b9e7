// The test station itself: its peers come up, carry the tones they are
// given, and fall silent, stall and die when told to.
#include "stationharness.h"

#include <QElapsedTimer>
#include <QTest>
#include <cmath>

using namespace StationHarness;

namespace {

bool near(double hz, double expected)
{
    return std::abs(hz - expected) < 5;
}

// Waits until a growing capture stops growing for `quietMs`; false if it
// keeps growing for `timeoutMs`.
template<typename C>
bool waitUntilStill(const C &capture, int quietMs, int timeoutMs)
{
    QElapsedTimer total;
    total.start();
    qsizetype last = capture.samples().size();
    QElapsedTimer still;
    still.start();
    while (total.elapsed() < timeoutMs) {
        QTest::qWait(50);
        const qsizetype now = capture.samples().size();
        if (now != last) {
            last = now;
            still.restart();
        } else if (still.elapsed() >= quietMs) {
            return true;
        }
    }
    return false;
}

} // namespace

class TestStationHarness : public QObject
{
    Q_OBJECT

    PulseServer m_pulse;
    IcecastServer m_icecast;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_pulse.start(&error), qPrintable(error));
        QVERIFY2(m_icecast.start(&error), qPrintable(error));
    }

    void pulseHasTheSinksAndTheFakeMicrophone()
    {
        QCOMPARE(qEnvironmentVariable("PULSE_SERVER"), m_pulse.serverAddress());
        bool ok = false;
        const QByteArray info = m_pulse.pactl({ QStringLiteral("info") }, &ok);
        QVERIFY(ok);
        QVERIFY2(info.contains("Default Sink: ondaline_out"), info.constData());
        QVERIFY2(info.contains("Default Source: ondaline_vmic"), info.constData());

        const int module = m_pulse.loadModule(QStringLiteral("module-null-sink"), { QStringLiteral("sink_name=extra") });
        QVERIFY(module >= 0);
        QVERIFY(m_pulse.pactl({ QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks") }).contains("extra"));
        QVERIFY(m_pulse.unloadModule(module));
        QVERIFY(!m_pulse.pactl({ QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks") }).contains("extra"));
    }

    // What is played into a sink is what the capture hears; the fake
    // microphone carries what is played into ondaline_mic.
    void captureHearsWhatIsPlayed_data()
    {
        QTest::addColumn<QString>("sink");
        QTest::addColumn<QString>("source");
        QTest::newRow("output monitor") << QStringLiteral("ondaline_out") << QStringLiteral("ondaline_out.monitor");
        QTest::newRow("fake microphone") << QStringLiteral("ondaline_mic") << QStringLiteral("ondaline_vmic");
    }
    void captureHearsWhatIsPlayed()
    {
        QFETCH(QString, sink);
        QFETCH(QString, source);
        QString error;
        Capture capture(&m_pulse, source);
        QVERIFY2(capture.start(&error), qPrintable(error));
        SinkTone tone(&m_pulse, sink, 1000);
        QVERIFY2(tone.start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(near(dominantFrequency(tail(capture.samples(), 200)), 1000), 5000);
        QVERIFY(std::abs(peakLevel(tail(capture.samples(), 200)) - 0.125) < 0.01);

        tone.setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(peakLevel(tail(capture.samples(), 200)) == 0, 5000);
        tone.stop();
        const QVector<qint16> all = capture.stop();
        QVERIFY(longestSilentGapMs(all) >= 100);
    }

    void feedsCarryTheirTonesAndFallSilent()
    {
        QString error;
        ToneFeed a(&m_icecast, QStringLiteral("a.mp3"), 440);
        ToneFeed b(&m_icecast, QStringLiteral("/b.mp3"), 880);
        QVERIFY2(a.start(&error), qPrintable(error));
        QVERIFY2(b.start(&error), qPrintable(error));
        QCOMPARE(a.url(), QUrl(QStringLiteral("http://127.0.0.1:%1/a.mp3").arg(m_icecast.port())));
        QVERIFY(m_icecast.isMountListed(QStringLiteral("/b.mp3")));

        StreamCapture hearA(a.url());
        StreamCapture hearB(b.url());
        QVERIFY2(hearA.start(&error), qPrintable(error));
        QVERIFY2(hearB.start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(hearA.samples().size() > 2 * 48000 && hearB.samples().size() > 2 * 48000, 10000);
        QVERIFY(near(dominantFrequency(tail(hearA.samples(), 500)), 440));
        QVERIFY(near(dominantFrequency(tail(hearB.samples(), 500)), 880));
        // The lavfi-like level: amplitude 1/8 is -18 dBFS, give or take the codec.
        QVERIFY(std::abs(peakLevel(tail(hearA.samples(), 500)) - 0.125) < 0.02);

        a.setSilent(true);
        QTRY_VERIFY_WITH_TIMEOUT(peakLevel(tail(hearA.samples(), 300)) < 0.001, 5000);
        QVERIFY(a.isRunning());
        QVERIFY(near(dominantFrequency(tail(hearB.samples(), 300)), 880));
        a.setSilent(false);
        QTRY_VERIFY_WITH_TIMEOUT(near(dominantFrequency(tail(hearA.samples(), 300)), 440), 5000);
    }

    void pauseHoldsTheStreamAndKillDropsIt()
    {
        QString error;
        ToneFeed feed(&m_icecast, QStringLiteral("stall.mp3"), 660);
        QVERIFY2(feed.start(&error), qPrintable(error));
        StreamCapture listener(feed.url());
        QVERIFY2(listener.start(&error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(listener.samples().size() > 48000, 10000);

        feed.pause();
        // Icecast drops a source silent for 3 s: stay well inside that.
        QVERIFY2(waitUntilStill(listener, 400, 2000), "the stream kept flowing while its feed was stopped");
        QVERIFY(listener.isRunning());
        const qsizetype heldAt = listener.samples().size();
        feed.resume();
        QTRY_VERIFY_WITH_TIMEOUT(listener.samples().size() > heldAt + 48000 / 5, 3000);

        feed.kill();
        QVERIFY(!feed.isRunning());
        QVERIFY(m_icecast.waitForMountGone(feed.mount(), 5000));
        QTRY_VERIFY_WITH_TIMEOUT(!listener.isRunning(), 5000);
    }

    void missingProgramsAreNamed()
    {
        QCOMPARE(missingPrograms({ QStringLiteral("sh"), QStringLiteral("ondaline-no-such-program") }),
                 QStringList { QStringLiteral("ondaline-no-such-program") });
    }
};

QTEST_GUILESS_MAIN(TestStationHarness)
#include "tst_stationharness.moc"
