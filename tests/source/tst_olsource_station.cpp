// Sixteen sources, as the program runs them (each player in a thread of its
// own, called through queued calls, deleted in its thread), against icecast
// streams fed with tones. What is heard, the station test hears.
#include "sourcetestsupport.h"
#include "stationharness.h"

#include "cvbass.h"

#include <QTest>
#include <cmath>

using namespace StationHarness;

class TestOLSourceStation : public QObject
{
    Q_OBJECT

    PulseServer m_pulse;
    IcecastServer m_icecast;

private slots:
    // Connected, metered and sounding through their start phases, muted.
    void sixteenSources()
    {
        QString error;
        QVERIFY2(m_pulse.start(&error) && m_icecast.start(&error), qPrintable(error));
        ToneFeed a(&m_icecast, QStringLiteral("a.mp3"), 440), b(&m_icecast, QStringLiteral("b.mp3"), 880);
        QVERIFY2(a.start(&error) && b.start(&error), qPrintable(error));
        CVBass::outputDevice = -1;
        QVERIFY(CVBass::init());
        TestSupport::WorkDir dir;
        OLHub hub;
        hub.setSilenceDetectionEndMs(3000); // wide enough to see the Sounding phase under load
        std::vector<std::unique_ptr<ProbedSource>> sources;
        QList<ActivityRule::Start> phases;
        for (int i = 0; i < 16; ++i) {
            auto *s = sources.emplace_back(std::make_unique<ProbedSource>(&hub, (i % 2 ? b : a).url(), 1.0)).get();
            connect(s, &OLSource::startPhaseChanged, s, [&, s, i] { if (i == 0) phases.append(s->startPhase()); });
            s->play();
        }
        auto all = [&](auto pred) { return std::all_of(sources.begin(), sources.end(), [&](const auto &s) { return pred(*s); }); };
        QTRY_VERIFY_WITH_TIMEOUT(all([](const OLSource &s) { return s.isConnected() && std::abs(s.levelDb() + 18) < 2; }), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(all([](const OLSource &s) { return !s.isSilentSound() && std::abs(s.avgLevel() - 0.125) < 0.02; }), 10000);
        QTRY_COMPARE(sources[0]->startPhase(), ActivityRule::Start::Settled);
        QCOMPARE(phases.first(), ActivityRule::Start::Pending);
        QVERIFY(phases.contains(ActivityRule::Start::Sounding));
        sources.clear(); // before the output they play into
        CVBass::free();
    }
};

QTEST_GUILESS_MAIN(TestOLSourceStation)
#include "tst_olsource_station.moc"
