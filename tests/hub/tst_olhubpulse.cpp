// The hub's device lists against a real PulseAudio daemon: a sink that
// comes shows up in the list by the next poll, and losing the chosen one
// falls back to the second entry with one restart.
#include <memory>

#include "cvbass.h"
#include "hubtestsupport.h"
#include "stationharness.h"

using StationHarness::PulseServer;

class TestOLHubPulse : public QObject
{
    Q_OBJECT

private:
    PulseServer m_pulse;

private slots:
    void initTestCase()
    {
        // Before anything asks Qt Multimedia for devices: it connects once.
        QString error;
        QVERIFY2(m_pulse.start(&error), qPrintable(QStringLiteral("PulseAudio: ") + error));
    }

    void cleanupTestCase() { m_pulse.stop(); }

    void sinkComingAndGoingIsFollowed()
    {
        WorkDir dir;
        LogSpy log;
        const QString played = QStringLiteral("start playing");
        QVERIFY(writeIni(sourcesIni({{QStringLiteral("record:95"), 1.0}})));
        OLHub hub;
        logIn(hub, log);
        // A failure of the lost sink restarts everything later on its own;
        // that restart is not the one looked at here.
        hub.setSourceRestartIntervalMs(600000);
        const int before = int(hub.outputDevices().size());
        QVERIFY2(hub.outputDevices().contains(QStringLiteral("Ondaline_Null_Output")),
                 qPrintable(hub.outputDevices().join(QLatin1String(", "))));

        const int module = m_pulse.loadModule(QStringLiteral("module-null-sink"),
                                              {QStringLiteral("sink_name=ondaline_extra"),
                                               QStringLiteral("sink_properties=device.description=Ondaline_Extra")});
        QVERIFY2(module >= 0, "pactl could not load a second null sink");
        QTRY_COMPARE_WITH_TIMEOUT(hub.outputDevices().size(), before + 1, 10000);
        const int extra = int(hub.outputDevices().indexOf(QStringLiteral("Ondaline_Extra")));
        QVERIFY2(extra == before, qPrintable(hub.outputDevices().join(QLatin1String(", "))));

        QVERIFY(hub.setOutputDeviceIndex(extra));
        QCOMPARE(CVBass::outputDevice, extra - 1);
        QTRY_COMPARE(log.count(played), 1);

        log.clear();
        QVERIFY(m_pulse.unloadModule(module));
        const QString warning = QStringLiteral("New output device index %1 is not valid").arg(extra);
        QTRY_COMPARE_WITH_TIMEOUT(log.count(warning), 1, 10000);
        QCOMPARE(hub.outputDeviceIndex(), 0);
        QCOMPARE(log.count(QStringLiteral("Output device changed to \"Default device\" index 0")), 1);
        QCOMPARE(hub.settings()->value(QStringLiteral("outputDeviceIndex")).toInt(), 0);
        QCOMPARE(CVBass::outputDevice, -1);
        QTRY_COMPARE(log.count(played), 1);
        QVERIFY(!log.loggedWithin(played, 1500));
    }
};

QTEST_GUILESS_MAIN(TestOLHubPulse)
#include "tst_olhubpulse.moc"
