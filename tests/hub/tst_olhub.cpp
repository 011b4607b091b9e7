// The hub's settings: defaults, persistence and logging of changes, stored
// values, log retention and the reaction to login and logout.
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

#include "cvbass.h"
#include "logging.h"
#include "olclientuser.h"
#include "olhub.h"
#include "olsource.h"
#include "testsupport.h"

namespace {

using TestSupport::LogSpy;

void writeIni(const QByteArray &content)
{
    QVERIFY(TestSupport::writeFile(QStringLiteral("ondaline.ini"), content));
}

void touch(const QString &name)
{
    QFile file(name);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(name));
}

// Stands in for the service: records the path of every request and never
// answers, so nothing but the requests themselves is observed.
class RequestRecorder : public QTcpServer
{
    Q_OBJECT

public:
    RequestRecorder()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    if (socket->property("seen").toBool() || !socket->canReadLine())
                        return;
                    socket->setProperty("seen", true);
                    const QList<QByteArray> words = socket->readLine().split(' ');
                    if (words.size() >= 2)
                        emit requested(QString::fromLatin1(words.at(1)));
                });
            }
        });
    }

signals:
    void requested(QString path);
};

} // namespace

class TestOLHub : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestSupport::WorkDir> m_dir;
    std::unique_ptr<LogSpy> m_log;

private slots:
    void init()
    {
        m_dir = std::make_unique<TestSupport::WorkDir>();
        m_log = std::make_unique<LogSpy>();
    }

    void cleanup()
    {
        m_log.reset();
        logFilePrefix.clear();
        m_dir.reset();
    }

    void defaultsFromMissingFileWriteNothing()
    {
        {
            OLHub hub;
            QCOMPARE(hub.logsStoreDays(), 30);
            QCOMPARE(hub.language(), QStringLiteral("system"));
            QCOMPARE(hub.showKeepRunningDialog(), true);
            QCOMPARE(hub.outputDeviceIndex(), 0);
            QCOMPARE(CVBass::outputDevice, -1);
            QCOMPARE(hub.silenceDetectionLevelDb(), -50.0);
            QCOMPARE(hub.silenceDetectionStartMs(), 5000);
            QCOMPARE(hub.silenceDetectionEndMs(), 5000);
            QCOMPARE(hub.clientUser()->parent(), &hub);
            QCOMPARE(hub.sources()->parent(), &hub);
            QCOMPARE(hub.property("sources").value<QQmlObjectListModelBase *>(), hub.sources());
        }
        const QSettings stored(QStringLiteral("ondaline.ini"), QSettings::IniFormat);
        for (const char *key : {"logsStoreDays", "language", "showKeepRunningDialog", "outputDeviceIndex",
                                "silenceDetectionLevelDb", "silenceDetectionStartMs",
                                "silenceDetectionEndMs"}) {
            QVERIFY2(!stored.contains(QString::fromLatin1(key)), key);
        }
    }

    void changeIsStoredAndLogged_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("language") << QByteArray("language") << QVariant(QStringLiteral("en"))
                                  << QStringLiteral("Language changed to \"en\"");
        QTest::newRow("silence level") << QByteArray("silenceDetectionLevelDb") << QVariant(-45.0)
                                       << QStringLiteral("Silence detection level changed to -45 db");
        QTest::newRow("silence start") << QByteArray("silenceDetectionStartMs") << QVariant(3000)
                                       << QStringLiteral("Silence detection interval change to 3000 ms");
        QTest::newRow("sound end") << QByteArray("silenceDetectionEndMs") << QVariant(2500)
                                   << QStringLiteral("Sound detection interval change to 2500 ms");
        QTest::newRow("keep-running notice, not logged")
            << QByteArray("showKeepRunningDialog") << QVariant(false) << QString();
        QTest::newRow("log retention, not logged") << QByteArray("logsStoreDays") << QVariant(12) << QString();
    }

    void changeIsStoredAndLogged()
    {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QString, logLine);
        const QString key = QString::fromLatin1(property);
        {
            OLHub hub;
            const QMetaProperty meta = hub.metaObject()->property(hub.metaObject()->indexOfProperty(property));
            QSignalSpy notified(&hub, meta.notifySignal());
            m_log->clear();

            QVERIFY(hub.setProperty(property, value));
            QCOMPARE(notified.size(), 1);
            QCOMPARE(notified.at(0).at(0), value);
            QCOMPARE(hub.settings()->value(key).toString(), value.toString());
            if (logLine.isEmpty())
                QCOMPARE(m_log->lines(), QStringList());
            else
                QCOMPARE(m_log->lines(), QStringList{logLine});

            // The same value again changes nothing and says nothing.
            m_log->clear();
            hub.settings()->remove(key);
            hub.setProperty(property, value);
            QCOMPARE(notified.size(), 1);
            QVERIFY(!hub.settings()->contains(key));
            QCOMPARE(m_log->lines(), QStringList());
            hub.settings()->setValue(key, value);
        }
        // What the hub wrote is on disk and read back by the next hub.
        OLHub next;
        QCOMPARE(next.property(property), value);
    }

    void storedValuesAreAppliedNotWrittenBack()
    {
        writeIni("[General]\nlanguage=ru\nlogsStoreDays=7\nshowKeepRunningDialog=false\n"
                 "outputDeviceIndex=1\nsilenceDetectionLevelDb=-40.5\n"
                 "silenceDetectionStartMs=1500\nsilenceDetectionEndMs=2500\n");
        const QByteArray before = TestSupport::readFile(QStringLiteral("ondaline.ini"));
        {
            OLHub hub;
            QCOMPARE(hub.language(), QStringLiteral("ru"));
            QCOMPARE(hub.logsStoreDays(), 7);
            QCOMPARE(hub.showKeepRunningDialog(), false);
            QCOMPARE(hub.outputDeviceIndex(), 1);
            QCOMPARE(CVBass::outputDevice, 0);
            QCOMPARE(hub.silenceDetectionLevelDb(), -40.5);
            QCOMPARE(hub.silenceDetectionStartMs(), 1500);
            QCOMPARE(hub.silenceDetectionEndMs(), 2500);
        }
        QCOMPARE(TestSupport::readFile(QStringLiteral("ondaline.ini")), before);
        for (const QString &message : m_log->lines()) {
            QVERIFY2(!message.contains(QLatin1String("changed to"))
                         && !message.contains(QLatin1String("interval change to")),
                     qPrintable(message));
        }
    }

    void hostileStoredValuesAreReplacedWithOneWarning_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("expected");
        QTest::addColumn<QString>("warning");
        const auto row = [](const char *name, const char *line, const char *property, QVariant expected,
                            const char *warning) {
            QTest::newRow(name) << QByteArray(line) << QByteArray(property) << expected << QString::fromUtf8(warning);
        };
        row("days not a number", "logsStoreDays=many", "logsStoreDays", 30,
            "Setting logsStoreDays \"many\" from config is not valid, using 30");
        row("zero days would delete today's log", "logsStoreDays=0", "logsStoreDays", 1,
            "Setting logsStoreDays \"0\" from config is not valid, using 1");
        row("negative days", "logsStoreDays=-3", "logsStoreDays", 1,
            "Setting logsStoreDays \"-3\" from config is not valid, using 1");
        row("level not a number", "silenceDetectionLevelDb=nan", "silenceDetectionLevelDb", -50.0,
            "Setting silenceDetectionLevelDb \"nan\" from config is not valid, using -50");
        row("level above full scale", "silenceDetectionLevelDb=12", "silenceDetectionLevelDb", 0.0,
            "Setting silenceDetectionLevelDb \"12\" from config is not valid, using 0");
        row("start with a unit", "silenceDetectionStartMs=5s", "silenceDetectionStartMs", 5000,
            "Setting silenceDetectionStartMs \"5s\" from config is not valid, using 5000");
        row("end empty", "silenceDetectionEndMs=", "silenceDetectionEndMs", 5000,
            "Setting silenceDetectionEndMs \"\" from config is not valid, using 5000");
        row("end beyond int", "silenceDetectionEndMs=99999999999", "silenceDetectionEndMs", 5000,
            "Setting silenceDetectionEndMs \"99999999999\" from config is not valid, using 5000");
        row("end too long", "silenceDetectionEndMs=9999999", "silenceDetectionEndMs", 1800000,
            "Setting silenceDetectionEndMs \"9999999\" from config is not valid, using 1800000");
        row("device index not a number", "outputDeviceIndex=speakers", "outputDeviceIndex", 0,
            "Setting outputDeviceIndex \"speakers\" from config is not valid, using 0");
        // An unplugged device: the default device plays, not "No sound".
        row("device that is gone", "outputDeviceIndex=99", "outputDeviceIndex", 0,
            "New output device index 99 is not valid");
        row("keep-running notice unreadable", "showKeepRunningDialog=maybe", "showKeepRunningDialog", true,
            "Setting showKeepRunningDialog \"maybe\" from config is not valid, using true");
    }

    void hostileStoredValuesAreReplacedWithOneWarning()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, property);
        QFETCH(QVariant, expected);
        QFETCH(QString, warning);
        writeIni("[General]\n" + line + "\n");
        OLHub hub;
        QCOMPARE(hub.property(property.constData()), expected);
        QVERIFY2(m_log->lines().filter(QStringLiteral("not valid")) == QStringList{warning},
                 qPrintable(m_log->lines().join(u'\n')));
    }

    void retentionFollowsLogsStoreDays()
    {
        logFilePrefix = QStringLiteral("ondaline");
        const QDate today = QDate::currentDate();
        const QString tenDaysOld = logFileName(today.addDays(-10));
        const QString fiveDaysOld = logFileName(today.addDays(-5));
        const QString yearOld = logFileName(today.addDays(-365));
        touch(tenDaysOld);
        touch(fiveDaysOld);
        touch(yearOld);

        OLHub hub;
        QVERIFY2(!QFile::exists(yearOld), "retention runs at construction");
        QVERIFY(QFile::exists(tenDaysOld));

        QSignalSpy changed(&hub, &OLHub::logsStoreDaysChanged);
        QVERIFY(hub.setLogsStoreDays(7));
        QVERIFY(!QFile::exists(tenDaysOld));
        QVERIFY(QFile::exists(fiveDaysOld));
        QCOMPARE(hub.settings()->value(QStringLiteral("logsStoreDays")).toInt(), 7);

        // The same value runs no clean-up.
        touch(tenDaysOld);
        QVERIFY(!hub.setLogsStoreDays(7));
        QVERIFY(QFile::exists(tenDaysOld));

        // A value changed in the settings takes over at the next clean-up.
        hub.settings()->setValue(QStringLiteral("logsStoreDays"), 3);
        hub.cleanOldLogFiles();
        QCOMPARE(hub.logsStoreDays(), 3);
        QCOMPARE(changed.size(), 2);
        QVERIFY(!QFile::exists(tenDaysOld));
        QVERIFY(!QFile::exists(fiveDaysOld));
    }

    // The source rows read these roles; their QML test feeds the same names
    // from a plain list model.
    void sourceModelHasTheRolesTheRowsRead()
    {
        OLHub hub;
        const QList<QByteArray> names = hub.sources()->roleNames().values();
        for (const char *role : {"streamUrl", "isRecordDevice", "isActive", "activityDurationMs", "isConnected",
                                 "connectionDurationMs", "isSilentSound", "soundDurationMs", "isStalled",
                                 "isSilentSoundByLevel", "avgLevel", "avgLevelDb", "volumeLevel"})
            QVERIFY2(names.contains(role), role);
    }

    void loginStartsAndLogoutStopsWithoutDroppingSources()
    {
        OLHub hub;
        hub.sources()->append(new OLSource(&hub, QUrl(QStringLiteral("http://127.0.0.1:9/a")), 1.0, &hub));
        hub.sources()->append(new OLSource(&hub, QUrl(QStringLiteral("http://127.0.0.1:9/b")), 1.0, &hub));
        m_log->clear();

        emit hub.clientUser()->isLoggedInChanged(true);
        QVERIFY(m_log->lines().contains(QStringLiteral("User logged in, restart all sources")));
        m_log->clear();
        emit hub.clientUser()->isLoggedInChanged(false);
        QVERIFY(m_log->lines().contains(QStringLiteral("User logged out, stop all sources")));
        QCOMPARE(hub.sources()->count(), 2);
    }

    void startAsksForVersionAndRevalidatesStoredSid_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("reportExpected");
        QTest::newRow("stored sid") << QByteArray("[General]\nsid=s3ss10n\n") << true;
        QTest::newRow("no sid") << QByteArray() << false;
    }

    void startAsksForVersionAndRevalidatesStoredSid()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, reportExpected);
        if (!ini.isEmpty())
            writeIni(ini);
        RequestRecorder service;
        QVERIFY2(service.listen(QHostAddress::LocalHost), "no local port for the stand-in service");
        OLClientUser::setServiceBaseUrl(QStringLiteral("http://127.0.0.1:%1").arg(service.serverPort()));
        QSignalSpy requests(&service, &RequestRecorder::requested);

        OLHub hub;
        QStringList paths;
        const int expected = reportExpected ? 2 : 1;
        QTRY_COMPARE_WITH_TIMEOUT(requests.size(), expected, 5000);
        for (const QList<QVariant> &request : std::as_const(requests))
            paths.append(request.at(0).toString());
        paths.sort();
        QStringList expectedPaths{QStringLiteral("/api/player/version")};
        if (reportExpected)
            expectedPaths.prepend(QStringLiteral("/api/player/state"));
        QCOMPARE(paths, expectedPaths);
        QVERIFY(!requests.wait(300));
    }
};

QTEST_GUILESS_MAIN(TestOLHub)
#include "tst_olhub.moc"
