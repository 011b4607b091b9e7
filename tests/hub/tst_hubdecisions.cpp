// The hub's pure decisions: how the source list follows the service's
// stream list, and which source is heard.
#include <QTest>

#include <array>

#include "activityrule.h"
#include "reconciliationplan.h"

namespace {
const QString A = QStringLiteral("http://127.0.0.1:9/a.mp3");
const QString B = QStringLiteral("http://127.0.0.1:9/b.mp3");
const QString C = QStringLiteral("http://127.0.0.1:9/c.mp3");
const QString R = QStringLiteral("record:96");

QString withUser(const QString &url, const QString &userName, const QString &password)
{
    QUrl u(url);
    u.setUserName(userName, QUrl::DecodedMode);
    u.setPassword(password, QUrl::DecodedMode);
    return u.toString();
}
const QString Sid = QStringLiteral("S1D");
const QString X = QStringLiteral("http://127.0.0.1:9/x.mp3");

// "7" with the session id: what the plan puts in.
QString in(const QString &url, const QString &sid = Sid)
{
    return withUser(url, QStringLiteral("7"), sid);
}
} // namespace

class TestHubDecisions : public QObject
{
    Q_OBJECT

private slots:
    void plan_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QStringList>("served");
        QTest::addColumn<QString>("sid");
        QTest::addColumn<int>("maxSources");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty list takes the service's, in its order")
            << QStringList() << QStringList{B, A} << Sid << 32 << QStringList{"add " + in(B), "add " + in(A)};
        QTest::newRow("a stream listed twice is added once")
            << QStringList() << QStringList{A, withUser(A, "u", "p")} << Sid << 32 << QStringList{"skip " + in(A), "add " + in(A)};
        QTest::newRow("a device from the service is refused")
            << QStringList() << QStringList{"record:0", A} << Sid << 32 << QStringList{"refuse record:0", "add " + in(A)};
        QTest::newRow("same credentials: nothing to do") << QStringList{in(A)} << QStringList{A} << Sid << 32 << QStringList();
        QTest::newRow("new credentials replay in place")
            << QStringList{withUser(A, "7", "old"), R} << QStringList{A} << Sid << 32 << QStringList{"replay 0 " + in(A)};
        QTest::newRow("sid with characters user info encodes")
            << QStringList{in(A)} << QStringList{A} << "n3w/s:d@" << 32 << QStringList{"replay 0 " + in(A, "n3w/s:d@")};
        QTest::newRow("dropped stream goes, devices stay, new ones at the end")
            << QStringList{withUser(A, "7", "old"), R, X} << QStringList{B, A} << Sid << 32
            << QStringList{"replay 0 " + in(A), "remove 2", "add " + in(B)};
        QTest::newRow("of one stream twice the last stays")
            << QStringList{withUser(A, "3", "old"), in(A)} << QStringList{A} << Sid << 32 << QStringList{"duplicate 0"};
        QTest::newRow("of one device twice the last stays")
            << QStringList{R, R} << QStringList{A} << Sid << 32 << QStringList{"duplicate 0", "add " + in(A)};
        QTest::newRow("at most maxSources")
            << QStringList{R, in(A)} << QStringList{A, B, X, C} << Sid << 3 << QStringList{"add " + in(B), "left out 2"};
    }

    void plan()
    {
        QFETCH(QStringList, sources);
        QFETCH(QStringList, served);
        QFETCH(QString, sid);
        QFETCH(int, maxSources);
        QFETCH(QStringList, expected);
        QList<ReconciliationPlan::Source> current;
        for (const QString &url : sources)
            current.append({QUrl(url), url.startsWith(u"record:")});
        const auto plan = ReconciliationPlan::make(current, served, 7, sid, maxSources);
        using Step = ReconciliationPlan::Step;
        QStringList lines;
        for (const auto &d : plan.dropped)
            lines.append((d.reason == ReconciliationPlan::Dropped::NotAStream ? "refuse " : "skip ") + d.text);
        for (const Step &step : plan.steps) {
            lines.append(QString::fromLatin1(std::array{"duplicate", "remove", "replay", "add"}[step.kind])
                         + (step.index >= 0 ? u' ' + QString::number(step.index) : QString())
                         + (step.url.isEmpty() ? QString() : u' ' + step.url.toString()));
            if (step.kind == Step::Replay || step.kind == Step::Add)
                QCOMPARE(step.url.password(), sid); // carried whole, decoded
        }
        if (plan.leftOut > 0)
            lines.append("left out " + QString::number(plan.leftOut));
        QCOMPARE(lines, expected);
    }

    // One letter a source: '-' not connected, 'c' connected and silent, 'S'
    // connected and sounding; while starting: 'k' not connected or no level
    // yet, 'w' connected and no sound heard yet, 'W' connected and sounded.
    void heard_data()
    {
        QTest::addColumn<QString>("sources");
        QTest::addColumn<int>("heard");
        const auto row = [](const char *name, const char *sources, int heard) {
            QTest::newRow(name) << QString::fromLatin1(sources) << heard;
        };
        row("empty list", "", -1);
        row("none connected: the first", "--", 0);
        row("connected though silent", "-c-", 1);
        row("first connected and sounding", "-cS", 2);
        row("all silent: the first connected", "-cc", 1);
        row("a verdict of sound comes first", "SW", 0);
        row("starting together: the first that sounds", "WW", 0);
        row("starting, the first still quiet", "wW", 1);
        row("a lower one sounding first waits for the higher", "kW", 0);
        row("a higher one still connecting holds the quiet ones", "kw", 0);
        row("a settled source stays on air while a higher reconnects", "kS", 1);
        row("a warming source sounds before its verdict", "cW", 1);
        row("held no longer: the lower one plays", "-W", 1);
    }

    void heard()
    {
        QFETCH(QString, sources);
        QFETCH(int, heard);
        using ActivityRule::Start;
        QList<ActivityRule::SourceState> states;
        for (const QChar c : sources) {
            const char k = c.toLatin1();
            const Start start = k == 'k' ? Start::Pending : k == 'w' ? Start::Quiet : k == 'W' ? Start::Sounding : Start::Settled;
            states.append({k != '-' && k != 'k', k != 'S', start});
        }
        QCOMPARE(ActivityRule::choose(states), heard);
    }
};

QTEST_GUILESS_MAIN(TestHubDecisions)
#include "tst_hubdecisions.moc"
