// The hub's device lists through the enumeration seam: numbering and
// filtering, the chosen output device, its fallback and when it restarts
// the sources.
#include <QRegularExpression>

#include <memory>

#include "cvbass.h"
#include "cvdevices.h"
#include "hubtestsupport.h"

namespace {

const QString Played = QStringLiteral("start playing");

CVDevices::Device device(const QByteArray &name, quint32 flags = BASS_DEVICE_ENABLED)
{
    return CVDevices::Device{name, name.toLower(), flags};
}

QJsonObject recordEntry(const QString &name, const QString &url)
{
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("streamUrl"), url}};
}

} // namespace

class TestOLHubDevices : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WorkDir> m_dir;
    std::unique_ptr<LogSpy> m_log;

    // One recording source whose device does not exist: each restart of
    // all sources shows as one "start playing" line.
    static QByteArray iniWithSource(const QByteArray &general = {})
    {
        return sourcesIni({{QStringLiteral("record:95"), 1.0}}, general);
    }

    // The hub's device lines, without those of the sources and the engine.
    QStringList deviceLines() const
    {
        static const QRegularExpression hubLine(
            QStringLiteral("^(Output device changed to|New output device index|.* devices list was updated$)"));
        return m_log->lines().filter(hubLine);
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<WorkDir>();
        m_log = std::make_unique<LogSpy>();
    }

    void cleanup()
    {
        CVDevices::clearFakeDevices();
        m_log.reset();
        m_dir.reset();
    }

    void listsNumberDevicesAndSkipUnusableRecorders()
    {
        CVDevices::setFakeDevices({device("Speakers")},
                                  {device("Mic A"), device("Mic B", 0),
                                   device("Monitor", BASS_DEVICE_ENABLED | BASS_DEVICE_LOOPBACK),
                                   device("Mic D")});
        OLHub hub;
        QCOMPARE(hub.outputDevices(),
                 (QStringList{QStringLiteral("Default device"), QStringLiteral("No sound"), QStringLiteral("Speakers")}));
        QCOMPARE(hub.recordDevices(), (QJsonArray{recordEntry(QStringLiteral("Mic A"), QStringLiteral("record:0")),
                                                  recordEntry(QStringLiteral("Mic D"), QStringLiteral("record:3"))}));

        QSignalSpy recordChanged(&hub, &OLHub::recordDevicesChanged);
        QSignalSpy outputChanged(&hub, &OLHub::outputDevicesChanged);
        hub.updateRecordDevicesFromBass();
        hub.updateOutputDevicesFromBass();
        QCOMPARE(recordChanged.size(), 0);
        QCOMPARE(outputChanged.size(), 0);

        CVDevices::setFakeDevices({device("Speakers")}, {device("Mic A")});
        hub.updateRecordDevicesFromBass();
        QCOMPARE(recordChanged.size(), 1);
        QCOMPARE(hub.recordDevices(), QJsonArray{recordEntry(QStringLiteral("Mic A"), QStringLiteral("record:0"))});
        QCOMPARE(m_log->count(QStringLiteral("Record devices list was updated")), 1);
    }

    // Logged out nothing goes on air: the output is re-opened, no source plays.
    void deviceChangeWhileLoggedOutPlaysNothing()
    {
        CVDevices::setFakeDevices({device("Speakers")}, {});
        QVERIFY(writeIni(iniWithSource()));
        OLHub hub;
        QVERIFY(hub.setOutputDeviceIndex(2));
        QCOMPARE(CVBass::outputDevice, 1);
        QVERIFY(!m_log->loggedWithin(Played, 500));
    }

    void choosingOutputDeviceAppliesItsNumberAndRestarts()
    {
        CVDevices::setFakeDevices({device("Speakers"), device("HDMI")}, {});
        QVERIFY(writeIni(iniWithSource()));
        OLHub hub;
        QCOMPARE(CVBass::outputDevice, -1);
        logIn(hub, *m_log);

        QVERIFY(hub.setOutputDeviceIndex(2));
        QCOMPARE(CVBass::outputDevice, 1);
        QCOMPARE(hub.settings()->value(QStringLiteral("outputDeviceIndex")).toInt(), 2);
        QCOMPARE(deviceLines(), QStringList{QStringLiteral("Output device changed to \"Speakers\" index 2")});
        QTRY_COMPARE(m_log->count(Played), 1);

        m_log->clear();
        QVERIFY(hub.setOutputDeviceIndex(0));
        QCOMPARE(CVBass::outputDevice, -1);
        QCOMPARE(deviceLines(), QStringList{QStringLiteral("Output device changed to \"Default device\" index 0")});
        QTRY_COMPARE(m_log->count(Played), 1);

        // Choosing the entry already chosen does nothing at all.
        m_log->clear();
        hub.settings()->remove(QStringLiteral("outputDeviceIndex"));
        QVERIFY(!hub.setOutputDeviceIndex(0));
        QVERIFY(!m_log->loggedWithin(Played, 300));
        QCOMPARE(deviceLines(), QStringList());
        QVERIFY(!hub.settings()->contains(QStringLiteral("outputDeviceIndex")));
    }

    // A list change re-validates the index: still valid, it is logged and
    // written but restarts nothing; gone, the default device takes over.
    void listChangeRevalidatesTheIndex()
    {
        CVDevices::setFakeDevices({device("Speakers"), device("HDMI")}, {});
        QVERIFY(writeIni(iniWithSource("outputDeviceIndex=3\n")));
        OLHub hub;
        QCOMPARE(CVBass::outputDevice, 2);
        logIn(hub, *m_log);
        QSignalSpy indexChanged(&hub, &OLHub::outputDeviceIndexChanged);
        hub.settings()->remove(QStringLiteral("outputDeviceIndex"));

        CVDevices::setFakeDevices({device("Speakers"), device("HDMI"), device("USB")}, {});
        hub.updateOutputDevicesFromBass();
        QCOMPARE(hub.outputDevices().size(), 5);
        QCOMPARE(deviceLines(), (QStringList{QStringLiteral("Output devices list was updated"),
                                             QStringLiteral("Output device changed to \"HDMI\" index 3")}));
        QCOMPARE(hub.settings()->value(QStringLiteral("outputDeviceIndex")).toInt(), 3);
        QCOMPARE(CVBass::outputDevice, 2);
        QVERIFY(!m_log->loggedWithin(Played, 300));

        m_log->clear();
        CVDevices::setFakeDevices({device("Speakers")}, {});
        hub.updateOutputDevicesFromBass();
        QCOMPARE(deviceLines(), (QStringList{QStringLiteral("Output devices list was updated"),
                                             QStringLiteral("New output device index 3 is not valid"),
                                             QStringLiteral("Output device changed to \"Default device\" index 0")}));
        QCOMPARE(hub.outputDeviceIndex(), 0);
        QCOMPARE(indexChanged.size(), 1);
        QCOMPARE(hub.settings()->value(QStringLiteral("outputDeviceIndex")).toInt(), 0);
        QCOMPARE(CVBass::outputDevice, -1);
        QTRY_COMPARE(m_log->count(Played), 1);
        QVERIFY(!m_log->loggedWithin(Played, 300));

        // Already on the fallback: an invalid index only warns.
        m_log->clear();
        hub.handleOutputDeviceIndexChanged(7);
        QCOMPARE(deviceLines(), QStringList{QStringLiteral("New output device index 7 is not valid")});
        QCOMPARE(indexChanged.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestOLHubDevices)
#include "tst_olhubdevices.moc"
