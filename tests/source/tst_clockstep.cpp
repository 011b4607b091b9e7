// A step of the wall clock (daylight saving, a time server's correction)
// while a source counts towards a verdict shifts nothing. Run under
// libfaketime, which steps the wall clock when the test rewrites its file.
#include "sourcetestsupport.h"

#include <QDateTime>
#include <QFile>
#include <QTest>
#include <limits>

class TestClockStep : public QObject
{
    Q_OBJECT

    // Steps the process's wall clock to `offset` ("-1h", "+1h") from the real one.
    static void stepWallClock(const char *offset, qint64 expectedSecs)
    {
        const QString path = qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE");
        QVERIFY2(!path.isEmpty(), "not run under libfaketime (FAKETIME_TIMESTAMP_FILE unset)");
        const QDateTime before = QDateTime::currentDateTimeUtc();
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(offset);
        file.close();
        const qint64 stepped = before.secsTo(QDateTime::currentDateTimeUtc());
        QVERIFY2(std::abs(stepped - expectedSecs) < 60,
                 qPrintable(QStringLiteral("the wall clock moved %1 s, not %2 s").arg(stepped).arg(expectedSecs)));
    }

private slots:
    void cleanup() { QFile::remove(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE")); }

    void wallClockStepsLeaveTheVerdict()
    {
        HubFixture fixture;
        fixture.hub->setSilenceDetectionStartMs(2000);
        fixture.hub->setSilenceDetectionEndMs(2000);
        ProbedSource source(fixture.hub.get(), QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);

        // Back an hour while sound is counted: the verdict still comes.
        source.updateLevelDb(-20);
        stepWallClock("-1h", -3600);
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 15000);
        QVERIFY(source.soundByLevelDurationMs() >= 2000);

        // Forward an hour while silence is counted: it does not come early.
        source.updateLevelDb(-std::numeric_limits<double>::infinity());
        stepWallClock("+0", 3600);
        QTest::qWait(500);
        QVERIFY(!source.isSilentSound());
        QVERIFY(source.soundByLevelDurationMs() < 2000);
        QTRY_VERIFY_WITH_TIMEOUT(source.isSilentSound(), 15000);
    }
};

QTEST_GUILESS_MAIN(TestClockStep)
#include "tst_clockstep.moc"
