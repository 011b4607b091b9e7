// The hub's settings, log retention and output device.
#include <QFile>
#include <QRegularExpression>

#include <memory>

#include "cvbass.h"
#include "cvdevices.h"
#include "hubtestsupport.h"
#include "logging.h"

namespace {
const QString Played = QStringLiteral("start playing");

CVDevices::Device device(const QByteArray &name, quint32 flags = BASS_DEVICE_ENABLED)
{
    return CVDevices::Device{name, name.toLower(), flags};
}

QJsonObject recordEntry(const QString &name, int number)
{
    return QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("streamUrl"), QStringLiteral("record:%1").arg(number)}};
}
} // namespace

class TestOLHub : public QObject
{
    Q_OBJECT

    std::unique_ptr<WorkDir> m_dir;
    std::unique_ptr<LogSpy> m_log;

    // The hub's device lines, not those of the sources and the engine.
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
        logFilePrefix.clear();
        m_dir.reset();
    }

    void storedSettingsAreReadNotWrittenBack_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QVariantList>("values");
        QTest::addColumn<int>("device");
        QTest::newRow("no file: defaults") << QByteArray() << QVariantList{30, "system", true, 0, -50.0, 5000, 5000} << -1;
        QTest::newRow("stored values")
            << QByteArray("[General]\nlogsStoreDays=7\nlanguage=ru\nshowKeepRunningDialog=false\noutputDeviceIndex=1\n"
                          "silenceDetectionLevelDb=-40.5\nsilenceDetectionStartMs=1500\nsilenceDetectionEndMs=2500\n")
            << QVariantList{7, "ru", false, 1, -40.5, 1500, 2500} << 0;
    }
    void storedSettingsAreReadNotWrittenBack()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QVariantList, values);
        QFETCH(int, device);
        if (!ini.isEmpty())
            QVERIFY(writeIni(ini));
        {
            OLHub hub;
            QVariantList read;
            for (const char *key : {"logsStoreDays", "language", "showKeepRunningDialog", "outputDeviceIndex",
                                    "silenceDetectionLevelDb", "silenceDetectionStartMs", "silenceDetectionEndMs"})
                read.append(hub.property(key));
            QCOMPARE(read, values);
            QCOMPARE(CVBass::outputDevice, device);
        }
        QCOMPARE(readIni(), ini);
        QCOMPARE(m_log->lines().filter(QRegularExpression(QStringLiteral("change(d)? to"))), QStringList());
    }

    void changeIsStoredAndLogged_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("language") << QByteArray("language") << QVariant(QStringLiteral("en")) << QStringLiteral("Language changed to \"en\"");
        QTest::newRow("silence level") << QByteArray("silenceDetectionLevelDb") << QVariant(-45.0)
                                       << QStringLiteral("Silence detection level changed to -45 db");
        QTest::newRow("silence start") << QByteArray("silenceDetectionStartMs") << QVariant(3000)
                                       << QStringLiteral("Silence detection interval change to 3000 ms");
        QTest::newRow("sound end") << QByteArray("silenceDetectionEndMs") << QVariant(2500)
                                   << QStringLiteral("Sound detection interval change to 2500 ms");
        QTest::newRow("keep-running notice, not logged") << QByteArray("showKeepRunningDialog") << QVariant(false) << QString();
        QTest::newRow("log retention, not logged") << QByteArray("logsStoreDays") << QVariant(12) << QString();
    }
    // A change is stored and read by the next start; the same value again
    // changes, writes and says nothing.
    void changeIsStoredAndLogged()
    {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QString, logLine);
        const QString key = QString::fromLatin1(property);
        {
            OLHub hub;
            QSignalSpy notified(&hub, hub.metaObject()->property(hub.metaObject()->indexOfProperty(property)).notifySignal());
            m_log->clear();
            QVERIFY(hub.setProperty(property, value));
            QCOMPARE(notified.size(), 1);
            QCOMPARE(m_log->lines(), logLine.isEmpty() ? QStringList() : QStringList{logLine});
            m_log->clear();
            hub.settings()->remove(key);
            hub.setProperty(property, value);
            QCOMPARE(notified.size(), 1);
            QVERIFY(!hub.settings()->contains(key));
            QCOMPARE(m_log->lines(), QStringList());
            hub.settings()->setValue(key, value);
        }
        OLHub next;
        QCOMPARE(next.property(property), value);
    }

    void hostileStoredValueIsReplacedWithOneWarning_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QVariant>("expected");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *line, QVariant expected, const char *warning = nullptr) {
            const QList<QByteArray> parts = QByteArray(line).split('=');
            QTest::newRow(name) << QByteArray(line) << expected
                                << (warning ? QString::fromUtf8(warning)
                                            : QStringLiteral("Setting %1 \"%2\" from config is not valid, using %3")
                                                  .arg(QString::fromLatin1(parts.at(0)), QString::fromLatin1(parts.at(1)), expected.toString()));
        };
        row("days not a number", "logsStoreDays=many", 30);
        row("zero days would delete today's log", "logsStoreDays=0", 1);
        row("level not a number", "silenceDetectionLevelDb=nan", -50.0);
        row("level above full scale", "silenceDetectionLevelDb=12", 0.0);
        row("start with a unit", "silenceDetectionStartMs=5s", 5000);
        row("end beyond int", "silenceDetectionEndMs=99999999999", 5000);
        row("end too long", "silenceDetectionEndMs=9999999", 1800000);
        row("keep-running notice unreadable", "showKeepRunningDialog=maybe", true);
        // An unplugged device: the default device plays, not "No sound".
        row("device that is gone", "outputDeviceIndex=99", 0, "New output device index 99 is not valid");
    }
    void hostileStoredValueIsReplacedWithOneWarning()
    {
        QFETCH(QByteArray, line);
        QFETCH(QVariant, expected);
        QFETCH(QString, warning);
        QVERIFY(writeIni("[General]\n" + line + "\n"));
        OLHub hub;
        QCOMPARE(hub.property(line.left(line.indexOf('=')).constData()), expected);
        QCOMPARE(m_log->lines().filter(QStringLiteral("not valid")), QStringList{warning});
    }

    void retentionFollowsLogsStoreDays()
    {
        logFilePrefix = QStringLiteral("ondaline");
        const QDate today = QDate::currentDate();
        const QString tenDaysOld = logFileName(today.addDays(-10));
        const QString fiveDaysOld = logFileName(today.addDays(-5));
        const QString yearOld = logFileName(today.addDays(-365));
        for (const QString &name : {tenDaysOld, fiveDaysOld, yearOld})
            QVERIFY(TestSupport::writeFile(name, "x"));
        OLHub hub;
        QVERIFY2(!QFile::exists(yearOld), "retention runs at construction");
        QVERIFY(QFile::exists(tenDaysOld));
        QVERIFY(hub.setLogsStoreDays(7));
        QVERIFY(!QFile::exists(tenDaysOld));
        QVERIFY(QFile::exists(fiveDaysOld));
        // A value edited in the file takes over at the next clean-up.
        hub.settings()->setValue(QStringLiteral("logsStoreDays"), 3);
        hub.cleanOldLogFiles();
        QCOMPARE(hub.logsStoreDays(), 3);
        QVERIFY(!QFile::exists(fiveDaysOld));
    }

    // The QML rows read these roles; their QML test feeds the same names.
    void sourceModelHasTheRolesTheRowsRead()
    {
        OLHub hub;
        const QList<QByteArray> names = hub.sources()->roleNames().values();
        for (const char *role : {"streamUrl", "isRecordDevice", "isActive", "activityDurationMs", "isConnected",
                                 "connectionDurationMs", "isSilentSound", "soundDurationMs", "isStalled",
                                 "isSilentSoundByLevel", "avgLevel", "avgLevelDb", "volumeLevel"})
            QVERIFY2(names.contains(role), role);
    }

    // Unusable recorders are left out but keep their number.
    void deviceListsFollowTheSystem()
    {
        CVDevices::setFakeDevices({device("Speakers")}, {device("Mic A"), device("Mic B", 0),
                                   device("Monitor", BASS_DEVICE_ENABLED | BASS_DEVICE_LOOPBACK), device("Mic D")});
        OLHub hub;
        QCOMPARE(hub.outputDevices(), (QStringList{"Default device", "No sound", "Speakers"}));
        QCOMPARE(hub.recordDevices(), (QJsonArray{recordEntry("Mic A", 0), recordEntry("Mic D", 3)}));
        QSignalSpy recordChanged(&hub, &OLHub::recordDevicesChanged);
        QSignalSpy outputChanged(&hub, &OLHub::outputDevicesChanged);
        hub.updateRecordDevicesFromBass();
        hub.updateOutputDevicesFromBass();
        QCOMPARE(recordChanged.size() + outputChanged.size(), 0);
        CVDevices::setFakeDevices({device("Speakers")}, {device("Mic A")});
        hub.updateRecordDevicesFromBass();
        QCOMPARE(hub.recordDevices(), QJsonArray{recordEntry("Mic A", 0)});
        QCOMPARE(m_log->count(QStringLiteral("Record devices list was updated")), 1);
    }

    // Logged out nothing goes on air; logged in a new device restarts every
    // source once; the entry already chosen does nothing.
    void choosingTheOutputDevice()
    {
        CVDevices::setFakeDevices({device("Speakers"), device("HDMI")}, {});
        QVERIFY(writeIni(sourcesIni({{QStringLiteral("record:95"), 1.0}})));
        OLHub hub;
        QVERIFY(hub.setOutputDeviceIndex(3));
        QCOMPARE(CVBass::outputDevice, 2);
        QVERIFY(!m_log->loggedWithin(Played, 500));

        logIn(hub, *m_log);
        QVERIFY(hub.setOutputDeviceIndex(2));
        QCOMPARE(CVBass::outputDevice, 1);
        QCOMPARE(hub.settings()->value(QStringLiteral("outputDeviceIndex")).toInt(), 2);
        QCOMPARE(deviceLines(), QStringList{QStringLiteral("Output device changed to \"Speakers\" index 2")});
        QTRY_COMPARE(m_log->count(Played), 1);

        m_log->clear();
        hub.settings()->remove(QStringLiteral("outputDeviceIndex"));
        QVERIFY(!hub.setOutputDeviceIndex(2));
        QVERIFY(!m_log->loggedWithin(Played, 300));
        QCOMPARE(deviceLines(), QStringList());
        QVERIFY(!hub.settings()->contains(QStringLiteral("outputDeviceIndex")));

        // Logging out stops the sources but keeps them listed.
        QVERIFY(QMetaObject::invokeMethod(hub.clientUser(), "updateIsLoggedIn", Q_ARG(bool, false)));
        QCOMPARE(m_log->count(QStringLiteral("User logged out, stop all sources")), 1);
        QCOMPARE(hub.sources()->count(), 1);
    }

    // Still valid after a list change, the index restarts nothing; gone, the
    // default device takes over with one restart.
    void listChangeRevalidatesTheIndex()
    {
        CVDevices::setFakeDevices({device("Speakers"), device("HDMI")}, {});
        QVERIFY(writeIni(sourcesIni({{QStringLiteral("record:95"), 1.0}}, "outputDeviceIndex=3\n")));
        OLHub hub;
        logIn(hub, *m_log);
        CVDevices::setFakeDevices({device("Speakers"), device("HDMI"), device("USB")}, {});
        hub.updateOutputDevicesFromBass();
        QCOMPARE(deviceLines(), (QStringList{"Output devices list was updated", "Output device changed to \"HDMI\" index 3"}));
        QCOMPARE(CVBass::outputDevice, 2);
        QVERIFY(!m_log->loggedWithin(Played, 300));

        m_log->clear();
        CVDevices::setFakeDevices({device("Speakers")}, {});
        hub.updateOutputDevicesFromBass();
        QCOMPARE(deviceLines(), (QStringList{"Output devices list was updated", "New output device index 3 is not valid",
                                             "Output device changed to \"Default device\" index 0"}));
        QCOMPARE(hub.outputDeviceIndex(), 0);
        QCOMPARE(hub.settings()->value(QStringLiteral("outputDeviceIndex")).toInt(), 0);
        QCOMPARE(CVBass::outputDevice, -1);
        QTRY_COMPARE(m_log->count(Played), 1);
        QVERIFY(!m_log->loggedWithin(Played, 300));
    }
};

QTEST_GUILESS_MAIN(TestOLHub)
#include "tst_olhub.moc"
