// The hub carrying out the plan that follows the service's stream list.
#include <QPointer>

#include <memory>

#include "hubtestsupport.h"

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

    std::unique_ptr<WorkDir> m_dir;
    std::unique_ptr<LogSpy> m_log;

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
        const QString oldA = withUser(A, "7", "old");
        QVERIFY(writeIni(sourcesIni({{oldA, 1.0}, {R, 1.0}})));
        OLHub hub;
        fakeStateReply(hub.clientUser(), sid, userId, isLoggedIn, streams);
        hub.updateSourcesFromClient();
        QCOMPARE(streamUrls(hub), (QStringList{oldA, R}));
        QCOMPARE(storedSources(hub), (QStringList{oldA + "=1", R + "=1"}));
    }

    // Added once each, with the session's credentials, stored; a second run
    // before the players confirm their URLs finds the same sources.
    void serverListIsAddedOnceWithCredentials()
    {
        OLHub hub;
        fakeStateReply(hub.clientUser(), Sid, 7, true, {A, B, withUser(A, "u", "p")});
        const QString a7 = withUser(A, "7", Sid);
        const QString b7 = withUser(B, "7", Sid);
        QCOMPARE(streamUrls(hub), (QStringList{a7, b7}));
        QCOMPARE(m_log->count("Duplicate streamUrl from client user \"" + A + "\" was skipped"), 1);
        QCOMPARE(storedSources(hub), (QStringList{a7 + "=1", b7 + "=1"}));
        QCOMPARE(activeIndex(hub), 0);
        const QList<QPointer<OLSource>> created = guarded(hub);
        hub.updateSourcesFromClient();
        QCOMPARE(guarded(hub), created);
        QCOMPARE(m_log->count(Sid), 0);
    }

    // A device of this machine is refused, at most 32 play, and they go
    // again when the list shrinks.
    void hostileStreamListIsBounded()
    {
        OLHub hub;
        QStringList streams{QStringLiteral("record:0")};
        for (int i = 0; i < 500; ++i)
            streams.append(QStringLiteral("http://127.0.0.1:9/s%1.mp3").arg(i));
        fakeStateReply(hub.clientUser(), Sid, 7, true, streams);
        QCOMPARE(hub.sources()->count(), 32);
        QVERIFY(!hub.sources()->get(0)->isRecordDevice());
        QCOMPARE(m_log->count("Stream url \"record:0\" from the server is not valid"), 1);
        QCOMPARE(m_log->count("468 streams from the server left out: at most 32"), 1);
        const QList<QPointer<OLSource>> before = guarded(hub);
        fakeStateReply(hub.clientUser(), Sid, 7, true, {A, B});
        QCOMPARE(hub.sources()->count(), 2);
        QTRY_COMPARE(std::count(before.cbegin(), before.cend(), nullptr), 32);
    }

    // The list is the operator's work: typing in the login field keeps it,
    // and only another operator's login replaces it.
    void theListBelongsToItsOperator_data()
    {
        QTest::addColumn<QByteArray>("general");
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QString>("loggedIn");
        QTest::addColumn<bool>("kept");
        QTest::newRow("typing and fixing a typo") << QByteArray("username=op") << QStringList{"o", "", "opx"} << QString() << true;
        QTest::newRow("same operator again") << QByteArray("username=op") << QStringList{""} << "op" << true;
        QTest::newRow("another operator") << QByteArray("username=op") << QStringList() << "eve" << false;
        QTest::newRow("the owner key decides") << QByteArray("username=eve\nsourcesOwner=op") << QStringList() << "op" << true;
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

    // The same sources replay with the new sid; each URL follows once its
    // player has switched.
    void newSidReplaysStreamsAndKeepsTheList()
    {
        QVERIFY(writeIni(sourcesIni({{R, 1.0}})));
        OLHub hub;
        fakeStateReply(hub.clientUser(), Sid, 7, true, {A, B});
        const QList<QPointer<OLSource>> before = guarded(hub);
        const QString newSid = QStringLiteral("n3w/s:d@");
        QVERIFY(QMetaObject::invokeMethod(hub.clientUser(), "updateSid", Q_ARG(QString, newSid)));
        QCOMPARE(guarded(hub), before);
        const QStringList expected{R, withUser(A, "7", newSid), withUser(B, "7", newSid)};
        QTRY_COMPARE(streamUrls(hub), expected);
        QTRY_COMPARE(storedSources(hub), (QStringList{R + "=1", expected.at(1) + "=1", expected.at(2) + "=1"}));
        QCOMPARE(m_log->count("n3w"), 0);
    }
};

QTEST_GUILESS_MAIN(TestOLHubSync)
#include "tst_olhubsync.moc"
