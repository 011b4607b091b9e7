// What a source decides from its samples: the silence verdict with its
// hysteresis, the average level, the stall watchdog and the start phase.
// Times are whatever the rows say: no clock is read.
#include <QTest>

#include <cmath>
#include <limits>

#include "activityrule.h"
#include "silenceverdict.h"
#include "stallwatchdog.h"

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Sample
{
    qint64 ms;
    double levelDb;
};
} // namespace
Q_DECLARE_METATYPE(QList<Sample>)

class TestSourceDecisions : public QObject
{
    Q_OBJECT

private slots:
    // Threshold -50 dB, silence after 400 ms, sound after 600 ms. `verdicts`
    // has a letter a sample: 'S' silent, '-' sound.
    void silenceVerdict_data()
    {
        QTest::addColumn<bool>("startSilent");
        QTest::addColumn<QList<Sample>>("samples");
        QTest::addColumn<QString>("verdicts");
        QTest::addColumn<qint64>("dueInMs"); // after the last sample

        QTest::newRow("sound turns the verdict after its time")
            << true << QList<Sample>{{0, -20}, {599, -20}, {600, -20}} << "SS-" << qint64(-1);
        QTest::newRow("a dip starts the count over")
            << true << QList<Sample>{{0, -20}, {400, -60}, {400, -20}, {999, -20}, {1000, -20}} << "SSSS-" << qint64(-1);
        QTest::newRow("silence turns the verdict after its time")
            << false << QList<Sample>{{0, -60}, {399, -60}, {400, -60}} << "--S" << qint64(-1);
        QTest::newRow("due when the count will be complete")
            << false << QList<Sample>{{1000, -kInf}, {1150, -kInf}} << "--" << qint64(250);
        QTest::newRow("equal to the threshold is silent")
            << false << QList<Sample>{{0, -50}, {400, -50}} << "-S" << qint64(-1);
        QTest::newRow("just above is sound")
            << true << QList<Sample>{{0, -49.99}, {600, -49.99}} << "S-" << qint64(-1);
        QTest::newRow("NaN counts as sound") << true << QList<Sample>{{0, kNaN}, {600, kNaN}} << "S-" << qint64(-1);
        QTest::newRow("a verdict and a level that agree change nothing")
            << true << QList<Sample>{{0, -kInf}, {100000, -kInf}} << "SS" << qint64(-1);
    }

    void silenceVerdict()
    {
        QFETCH(bool, startSilent);
        QFETCH(QList<Sample>, samples);
        QFETCH(QString, verdicts);
        QFETCH(qint64, dueInMs);
        const SilenceVerdict::Settings settings{-50.0, 400, 600};
        // Whatever the level was before the first sample: its opposite.
        SilenceVerdict verdict(samples.first().ms);
        verdict.update(samples.first().ms, startSilent ? -kInf : -20.0, startSilent, settings);
        bool isSilent = startSilent;
        QString seen;
        for (const Sample &sample : samples) {
            isSilent = verdict.update(sample.ms, sample.levelDb, isSilent, settings);
            seen += isSilent ? u'S' : u'-';
        }
        QCOMPARE(seen, verdicts);
        QCOMPARE(verdict.dueInMs(samples.last().ms, isSilent, settings), dueInMs);
    }

    // New settings apply to the count already running.
    void settingsApplyToTheRunningCount()
    {
        SilenceVerdict verdict(0);
        SilenceVerdict::Settings settings{-30.0, 5000, 100};
        verdict.update(0, -40, true, settings); // silent by this threshold, not by the default one
        QVERIFY(verdict.isSilentByLevel());
        bool silent = verdict.update(100, -20, true, settings);
        silent = verdict.update(200, -20, silent, settings);
        QVERIFY(!silent);
        silent = verdict.update(300, -kInf, silent, settings);
        silent = verdict.update(600, -kInf, silent, settings);
        QVERIFY(!silent);
        settings.silenceMs = 200; // below the 300 ms counted
        QVERIFY(verdict.update(600, -kInf, silent, settings));
        settings.levelDb = -200; // now only -inf is silence
        verdict.update(700, -150, true, settings);
        QVERIFY(!verdict.isSilentByLevel());
        verdict.restartCount(1000);
        QCOMPARE(verdict.byLevelDurationMs(1250), 250);
    }

    // A running sum over 30 samples: it ramps up from 0.
    void levelAverage()
    {
        LevelAverage average;
        QCOMPARE(average.add(0.3), 0.3 / 30);
        for (int i = 1; i < 30; ++i)
            average.add(i % 2 ? 0.5 : 0.3);
        QVERIFY(qFuzzyCompare(average.value(), 0.4));
        // The 31st sample pushes out the first (0.3), the 32nd the second (0.5).
        QVERIFY(qFuzzyCompare(average.add(0.3), 0.4));
        QVERIFY(qFuzzyCompare(average.add(0.9), 0.4 - 0.5 / 30 + 0.9 / 30));
        average.clear();
        QCOMPARE(average.value(), 0.0);
        QCOMPARE(average.add(1.2), 1.2 / 30);
    }

    // Samples of (ms, levelDb, held stopped); `restarts` a letter a sample.
    void stallWatchdog_data()
    {
        QTest::addColumn<QString>("samples");
        QTest::addColumn<QString>("restarts");
        // "ms:level" or "ms:level:held", separated by spaces.
        QTest::newRow("a frozen level is stuck after the timeout, and again")
            << "0:-20 599:-20 600:-20 1199:-20 1200:-20" << "--R-R";
        QTest::newRow("a moving level is never stuck") << "0:-20 500:-21 1000:-20 1500:-21" << "----";
        QTest::newRow("held stopped is never stuck") << "0:-20:held 600:-20:held 5000:-20:held" << "---";
        QTest::newRow("played again, it is watched again") << "0:-20:held 5000:-20:held 5250:-20 5599:-20 5600:-20" << "----R";
        QTest::newRow("NaN never equals itself") << "0:nan 600:nan 1200:nan" << "---";
    }

    void stallWatchdog()
    {
        QFETCH(QString, samples);
        QFETCH(QString, restarts);
        StallWatchdog watchdog(0);
        QString seen;
        for (const QString &sample : samples.split(u' ')) {
            const QStringList parts = sample.split(u':');
            const double level = parts.at(1) == u"nan" ? kNaN : parts.at(1).toDouble();
            seen += watchdog.isStuck(parts.at(0).toLongLong(), level, parts.size() > 2, 600) ? u'R' : u'-';
        }
        QCOMPARE(seen, restarts);
    }

    void startPhase_data()
    {
        QTest::addColumn<qint64>("sincePlayMs");
        QTest::addColumn<qint64>("sinceConnectedMs");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<bool>("silentByLevel");
        QTest::addColumn<bool>("soundedBefore");
        QTest::addColumn<int>("phase");
        using S = ActivityRule::Start;
        QTest::newRow("never played") << qint64(-1) << qint64(-1) << true << true << false << int(S::Settled);
        QTest::newRow("connecting") << qint64(1999) << qint64(-1) << true << true << false << int(S::Pending);
        QTest::newRow("gave up connecting") << qint64(2000) << qint64(-1) << true << true << false << int(S::Settled);
        QTest::newRow("connected, no level yet") << qint64(2100) << qint64(499) << true << true << false << int(S::Pending);
        QTest::newRow("connected and quiet") << qint64(2100) << qint64(500) << true << true << false << int(S::Quiet);
        QTest::newRow("sounded") << qint64(100) << qint64(50) << true << false << false << int(S::Sounding);
        QTest::newRow("sounded once stays so") << qint64(3000) << qint64(2000) << true << true << true << int(S::Sounding);
        QTest::newRow("a verdict of sound settles") << qint64(3000) << qint64(2000) << false << false << true << int(S::Settled);
        QTest::newRow("past its first verdict") << qint64(7000) << qint64(6000) << true << false << true << int(S::Settled);
    }

    void startPhase()
    {
        QFETCH(qint64, sincePlayMs);
        QFETCH(qint64, sinceConnectedMs);
        QFETCH(bool, silent);
        QFETCH(bool, silentByLevel);
        QFETCH(bool, soundedBefore);
        QFETCH(int, phase);
        bool sounded = soundedBefore;
        const ActivityRule::StartFacts facts{sincePlayMs, sinceConnectedMs, silent, silentByLevel, 5000};
        QCOMPARE(int(ActivityRule::startPhase(facts, sounded)), phase);
    }
};

QTEST_GUILESS_MAIN(TestSourceDecisions)
#include "tst_sourcedecisions.moc"
