// A wall-clock step (daylight saving, a time server) while a source counts
// towards a verdict shifts nothing; libfaketime steps it as the file says.
#include "sourcetestsupport.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>

class TestClockStep : public QObject
{
    Q_OBJECT

    static void stepWallClock(const QByteArray &offset, qint64 expectedSecs)
    {
        const QDateTime before = QDateTime::currentDateTimeUtc();
        QVERIFY(TestSupport::writeFile(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE"), offset));
        QVERIFY(std::abs(before.secsTo(QDateTime::currentDateTimeUtc()) - expectedSecs) < 60);
    }

private slots:
    void cleanup() { QFile::remove(qEnvironmentVariable("FAKETIME_TIMESTAMP_FILE")); }

    void wallClockStepsLeaveTheVerdict()
    {
        TestSupport::WorkDir dir;
        OLHub hub;
        hub.setSilenceDetectionStartMs(2000);
        hub.setSilenceDetectionEndMs(2000);
        ProbedSource source(&hub, QUrl(QStringLiteral("http://127.0.0.1:1/a.mp3")), 1.0);
        // Back an hour while sound is counted: the verdict still comes.
        source.updateLevelDb(-20);
        stepWallClock("-1h", -3600);
        QTRY_VERIFY_WITH_TIMEOUT(!source.isSilentSound(), 15000);
        QVERIFY(source.soundByLevelDurationMs() >= 2000);
        // Forward an hour while silence is counted: it does not come early.
        source.updateLevelDb(-std::numeric_limits<double>::infinity());
        stepWallClock("+0", 3600);
        QVERIFY(!QSignalSpy(&source, &OLSource::isSilentSoundChanged).wait(500));
        QVERIFY(source.soundByLevelDurationMs() < 2000);
        QTRY_VERIFY_WITH_TIMEOUT(source.isSilentSound(), 15000);
    }
};

QTEST_GUILESS_MAIN(TestClockStep)
#include "tst_clockstep.moc"
