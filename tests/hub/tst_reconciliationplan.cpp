// The plan that makes the source list follow the service's stream list.
#include <QTest>

#include "hubtestsupport.h"
#include "reconciliationplan.h"

using namespace ReconciliationPlan;
using namespace Streams;

namespace {

const QString Sid = QStringLiteral("S1D");

// "7" with the session id: what the plan puts in.
QString in(const QString &url, const QString &sid = Sid)
{
    return withUser(url, QStringLiteral("7"), sid);
}

QStringList described(const Plan &plan)
{
    static const char *const words[] = {"duplicate", "remove", "replay", "add"};
    QStringList lines;
    for (const Dropped &d : plan.dropped)
        lines.append((d.reason == Dropped::NotAStream ? QStringLiteral("refuse ") : QStringLiteral("skip ")) + d.text);
    for (const Step &step : plan.steps) {
        QString line = QLatin1String(words[step.kind]);
        if (step.index >= 0)
            line += u' ' + QString::number(step.index);
        if (!step.url.isEmpty())
            line += u' ' + step.url.toString();
        lines.append(line);
    }
    if (plan.leftOut > 0)
        lines.append(QStringLiteral("left out ") + QString::number(plan.leftOut));
    return lines;
}

} // namespace

class TestReconciliationPlan : public QObject
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
            << QStringList() << QStringList{A, withUser(A, "u", "p")} << Sid << 32
            << QStringList{"skip " + in(A), "add " + in(A)};
        QTest::newRow("a device from the service is refused")
            << QStringList() << QStringList{"record:0", A} << Sid << 32 << QStringList{"refuse record:0", "add " + in(A)};
        QTest::newRow("same credentials: nothing to do")
            << QStringList{in(A)} << QStringList{A} << Sid << 32 << QStringList();
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
            << QStringList{R, in(A)} << QStringList{A, B, X, "http://127.0.0.1:9/y.mp3"} << Sid << 3
            << QStringList{"add " + in(B), "left out 2"};
    }

    void plan()
    {
        QFETCH(QStringList, sources);
        QFETCH(QStringList, served);
        QFETCH(QString, sid);
        QFETCH(int, maxSources);
        QFETCH(QStringList, expected);
        QList<Source> current;
        for (const QString &url : sources)
            current.append({QUrl(url), url.startsWith(u"record:")});
        const Plan plan = make(current, served, 7, sid, maxSources);
        QCOMPARE(described(plan), expected);
        for (const Step &step : plan.steps) {
            if (step.kind == Step::Replay || step.kind == Step::Add)
                QCOMPARE(step.url.password(), sid); // carried whole, decoded
        }
    }
};

QTEST_GUILESS_MAIN(TestReconciliationPlan)
#include "tst_reconciliationplan.moc"
