// The hub carrying out the plan that follows the service's stream list: the
// precondition, bounds, the list's owner, replaying with new credentials,
// and a real login against the reference service.
#include <QPointer>

#include <memory>

#include "hubtestsupport.h"
#include "refservice.h"
#include "servicefixture.h"

using namespace Streams;

namespace {

const QString Sid = QStringLiteral("S1D-0ne");

QList<QPointer<OLSource>> guarded(const OLHub &hub)
{
    QList<QPointer<OLSource>> list;
    for (OLSource *source : hub.sources()->items())
        list.append(source);
    return list;
}

} // namespace

class TestOLHubSync : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<WorkDir> m_dir;
    std::unique_ptr<LogSpy> m_log;

    void verifyNotLogged(const QString &secret)
    {
        const QStringList leaked = m_log->lines().filter(secret);
        QVERIFY2(leaked.isEmpty(), qPrintable(leaked.join(QLatin1Char('\n'))));
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<WorkDir>();
        m_log = std::make_unique<LogSpy>();
    }

    void cleanup()
    {
        m_log.reset();
        m_dir.reset();
    }

    void unmetPreconditionChangesNothing_data()
    {
        QTest::addColumn<bool>("isLoggedIn");
        QTest::addColumn<int>("userId");
        QTest::addColumn<QString>("sid");
        QTest::addColumn<QStringList>("streams");

        QTest::newRow("not logged in") << false << 7 << Sid << QStringList{B};
        QTest::newRow("userId 0") << true << 0 << Sid << QStringList{B};
        QTest::newRow("empty sid") << true << 7 << QString() << QStringList{B};
        QTest::newRow("empty stream list") << true << 7 << Sid << QStringList();
    }

    void unmetPreconditionChangesNothing()
    {
        QFETCH(bool, isLoggedIn);
        QFETCH(int, userId);
        QFETCH(QString, sid);
        QFETCH(QStringList, streams);
        const QString oldA = withUser(A, QStringLiteral("7"), QStringLiteral("old"));
        QVERIFY(writeIni(sourcesIni({{oldA, 1.0}, {R, 1.0}})));
        OLHub hub;
        const QStringList stored = storedSources(hub);
        const int active = activeIndex(hub);

        fakeStateReply(hub.clientUser(), sid, userId, isLoggedIn, streams);
        hub.updateSourcesFromClient();

        QCOMPARE(streamUrls(hub), (QStringList{oldA, R}));
        QCOMPARE(activeIndex(hub), active);
        QCOMPARE(storedSources(hub), stored);
        QCOMPARE(m_log->count(QStringLiteral("from the server")), 0);
    }

    void serverListIsAddedOnceWithCredentials()
    {
        OLHub hub;
        fakeStateReply(hub.clientUser(), Sid, 7, true, {A, B, withUser(A, QStringLiteral("u"), QStringLiteral("p"))});
        const QString a7 = withUser(A, QStringLiteral("7"), Sid);
        const QString b7 = withUser(B, QStringLiteral("7"), Sid);
        QCOMPARE(streamUrls(hub), (QStringList{a7, b7}));
        QCOMPARE(m_log->count(QStringLiteral("Duplicate streamUrl from client user \"") + A + "\" was skipped"), 1);
        QCOMPARE(m_log->count({QStringLiteral("New source"), QStringLiteral("was received from the server")}), 2);
        QCOMPARE(storedSources(hub), (QStringList{a7 + "=1", b7 + "=1"}));
        QCOMPARE(activeIndex(hub), 0);

        // A run before the new players confirm their URLs finds the same sources.
        const QList<QPointer<OLSource>> created = guarded(hub);
        hub.updateSourcesFromClient();
        QCOMPARE(guarded(hub), created);
        QCOMPARE(m_log->count(QStringLiteral("Deleting")), 0);
        verifyNotLogged(Sid);
    }

    // A list that names a device of this machine or hundreds of streams:
    // the device is refused, at most 32 sources play, and they go again
    // (threads and all) when the list shrinks.
    void hostileStreamListIsBounded()
    {
        OLHub hub;
        QStringList streams{QStringLiteral("record:0"), QStringLiteral("file:///etc/passwd")};
        for (int i = 0; i < 500; ++i)
            streams.append(QStringLiteral("http://127.0.0.1:9/s%1.mp3").arg(i));
        fakeStateReply(hub.clientUser(), Sid, 7, true, streams);
        QCOMPARE(hub.sources()->count(), 32);
        QCOMPARE(m_log->count(QStringLiteral("Stream url \"record:0\" from the server is not valid")), 1);
        QCOMPARE(m_log->count(QStringLiteral("469 streams from the server left out: at most 32")), 1);
        // The file stays a source that never connects.
        QTRY_COMPARE(m_log->count(QStringLiteral("does not play \"file:///etc/passwd\"")), 1);
        QVERIFY(!hub.sources()->get(0)->isRecordDevice());

        const QList<QPointer<OLSource>> before = guarded(hub);
        fakeStateReply(hub.clientUser(), Sid, 7, true, {A, B});
        QCOMPARE(hub.sources()->count(), 2);
        QTRY_VERIFY(std::count(before.cbegin(), before.cend(), nullptr) == 32);
    }

    // The list is the operator's work: typing in the login field keeps it,
    // and only another operator's login replaces it.
    void theListBelongsToItsOperator_data()
    {
        QTest::addColumn<QByteArray>("general");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QString>("loggedIn");
        QTest::addColumn<bool>("kept");
        QTest::newRow("typing and fixing a typo") << QByteArray("username=op") << QStringList{QStringLiteral("o"), QString(), QStringLiteral("opx")} << QString() << true;
        QTest::newRow("same operator again") << QByteArray("username=op") << QStringList{QString()} << QStringLiteral("op") << true;
        QTest::newRow("another operator") << QByteArray("username=op") << QStringList() << QStringLiteral("eve") << false;
        QTest::newRow("the owner key decides") << QByteArray("username=eve\nsourcesOwner=op") << QStringList() << QStringLiteral("op") << true;
    }

    void theListBelongsToItsOperator()
    {
        QFETCH(QByteArray, general);
        QFETCH(QStringList, typed);
        QFETCH(QString, loggedIn);
        QFETCH(bool, kept);
        QVERIFY(writeIni(sourcesIni({{A, 0.5}, {R, 0.8}}, general)));
        OLHub hub;
        for (const QString &text : typed)
            hub.clientUser()->setUsername(text);
        if (!loggedIn.isEmpty()) {
            hub.clientUser()->setUsername(loggedIn);
            fakeStateReply(hub.clientUser(), Sid, 7, true, {});
        }
        const QStringList expected = kept ? QStringList{A + "=0.5", R + "=0.8"} : QStringList();
        QCOMPARE(storedSources(hub), expected);
        QCOMPARE(hub.sources()->count(), expected.size());
    }

    void newSidReplaysStreamsAndKeepsTheList()
    {
        QVERIFY(writeIni(sourcesIni({{R, 1.0}})));
        OLHub hub;
        fakeStateReply(hub.clientUser(), Sid, 7, true, {A, B});
        const QList<QPointer<OLSource>> before = guarded(hub);
        QCOMPARE(before.size(), 3);

        // Characters that user info must carry encoded.
        const QString newSid = QStringLiteral("n3w/s:d@");
        QVERIFY(QMetaObject::invokeMethod(hub.clientUser(), "updateSid", Q_ARG(QString, newSid)));
        QCOMPARE(guarded(hub), before);
        const QStringList expected{R, withUser(A, QStringLiteral("7"), newSid), withUser(B, QStringLiteral("7"), newSid)};
        // Each URL follows once its player has switched.
        QTRY_COMPARE(streamUrls(hub), expected);
        QCOMPARE(hub.sources()->get(1)->streamUrl().password(), newSid);
        QTRY_COMPARE(storedSources(hub), (QStringList{R + "=1", expected.at(1) + "=1", expected.at(2) + "=1"}));
        verifyNotLogged(QStringLiteral("n3w"));
    }

    // Sources [A with an old sid, R, X]; the service lists [B, A].
    void loginReconcilesWithTheStationStreams()
    {
        RefService service;
        QString error;
        TestSupport::Station station;
        station.streams = QStringList{B, A};
        station.password = QStringLiteral("pw");
        QVERIFY2(TestSupport::startService(service, station, 0, &error), qPrintable(QStringLiteral("reference service: ") + error));
        OLClientUser::setServiceBaseUrl(service.baseUrl());

        const QString oldA = withUser(A, QStringLiteral("7"), QStringLiteral("oldsid"));
        // The same user name as the login's: a new one would empty the list first.
        QVERIFY(writeIni(sourcesIni({{oldA, 0.5}, {R, 1.0}, {X, 1.0}}, "username=op\n")));
        OLHub hub;
        const QList<QPointer<OLSource>> before = guarded(hub);

        hub.clientUser()->login(QStringLiteral("op"), QStringLiteral("pw"));
        QTRY_VERIFY_WITH_TIMEOUT(hub.clientUser()->isLoggedIn(), 5000);
        const QString sid = hub.clientUser()->sid();
        QVERIFY(!sid.isEmpty());
        const QStringList expected{withUser(A, QStringLiteral("7"), sid), R, withUser(B, QStringLiteral("7"), sid)};

        QTRY_COMPARE(streamUrls(hub), expected);
        QCOMPARE(hub.sources()->get(0), before.at(0).data());
        QCOMPARE(hub.sources()->get(0)->volumeLevel(), 0.5);
        QCOMPARE(hub.sources()->get(1), before.at(1).data());
        QTRY_VERIFY(before.at(2).isNull());
        QCOMPARE(m_log->count({QStringLiteral("Deleting a source \""), X,
                               QStringLiteral("\" that was not received from the server")}), 1);
        QCOMPARE(m_log->count({QStringLiteral("Delete source \""), X, QStringLiteral("\" at index 2")}), 1);
        QCOMPARE(m_log->count({QStringLiteral("New source \""), B, QStringLiteral("\" was received from the server")}), 1);
        QTRY_COMPARE(storedSources(hub), (QStringList{expected.at(0) + "=0.5", R + "=1", expected.at(2) + "=1"}));
        verifyNotLogged(sid);
        verifyNotLogged(QStringLiteral("oldsid"));
    }
};

QTEST_GUILESS_MAIN(TestOLHubSync)
#include "tst_olhubsync.moc"
