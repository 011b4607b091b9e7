// What a source decides from its samples, at the times the rows give: the
// silence verdict, the average level, the stall watchdog and the start phase.
#include <QTest>

#include "activityrule.h"
#include "silenceverdict.h"
#include "stallwatchdog.h"

namespace {
const double kInf = qInf();

// "ms:levelDb" samples separated by spaces, levels as QString::toDouble()
// reads them ("nan", "-inf"); a third field "held" for a source held stopped.
QList<QStringList> samples(const QString &row)
{
    QList<QStringList> list;
    for (const QString &sample : row.split(u' '))
        list << sample.split(u':');
    return list;
}
} // namespace

class TestSourceDecisions : public QObject
{
    Q_OBJECT

private slots:
    // Threshold -50 dB, silence after 400 ms, sound after 600 ms; a letter a
    // sample: 'S' silent, '-' sound. The verdict starts on `startSilent`, the
    // level before the first sample on the other side.
    void silenceVerdict_data()
    {
        QTest::addColumn<bool>("startSilent");
        QTest::addColumn<QString>("samples");
        QTest::addColumn<QString>("verdicts");
        QTest::addColumn<qint64>("dueInMs");
        QTest::newRow("sound turns the verdict after its time") << true << "0:-20 599:-20 600:-20" << "SS-" << qint64(-1);
        QTest::newRow("a dip starts the count over") << true << "0:-20 400:-60 400:-20 999:-20 1000:-20" << "SSSS-" << qint64(-1);
        QTest::newRow("silence turns the verdict after its time") << false << "0:-60 399:-60 400:-60" << "--S" << qint64(-1);
        QTest::newRow("due when the count will be complete") << false << "1000:-inf 1150:-inf" << "--" << qint64(250);
        QTest::newRow("equal to the threshold is silent") << false << "0:-50 400:-50" << "-S" << qint64(-1);
        QTest::newRow("just above is sound") << true << "0:-49.99 600:-49.99" << "S-" << qint64(-1);
        QTest::newRow("NaN counts as sound") << true << "0:nan 600:nan" << "S-" << qint64(-1);
        QTest::newRow("verdict and level agreeing change nothing") << true << "0:-inf 100000:-inf" << "SS" << qint64(-1);
    }
    void silenceVerdict()
    {
        QFETCH(bool, startSilent);
        QFETCH(QString, samples);
        QFETCH(QString, verdicts);
        QFETCH(qint64, dueInMs);
        const SilenceVerdict::Settings settings{ -50.0, 400, 600 };
        const auto list = ::samples(samples);
        SilenceVerdict verdict(list.first()[0].toLongLong());
        verdict.update(list.first()[0].toLongLong(), startSilent ? -kInf : -20.0, startSilent, settings);
        bool isSilent = startSilent;
        QString seen;
        for (const QStringList &sample : list) {
            isSilent = verdict.update(sample[0].toLongLong(), sample[1].toDouble(), isSilent, settings);
            seen += isSilent ? u'S' : u'-';
        }
        QCOMPARE(seen, verdicts);
        QCOMPARE(verdict.dueInMs(list.last()[0].toLongLong(), isSilent, settings), dueInMs);
    }

    // New settings apply to the count already running; a stop restarts it.
    void settingsApplyToTheRunningCount()
    {
        SilenceVerdict verdict(0);
        SilenceVerdict::Settings settings{ -30.0, 5000, 100 };
        QVERIFY(!verdict.update(300, -kInf, false, settings) && !verdict.update(600, -kInf, false, settings));
        settings.silenceMs = 200;
        QVERIFY(verdict.update(600, -kInf, false, settings));
        settings.levelDb = -200;
        verdict.update(700, -150, true, settings);
        QVERIFY(!verdict.isSilentByLevel());
        verdict.restartCount(1000);
        QCOMPARE(verdict.byLevelDurationMs(1250), 250);
    }

    // A running sum over 30 samples: the 31st pushes out the first. (That it
    // ramps up from 0 and starts over after a clear, the source's test shows.)
    void levelAverage()
    {
        LevelAverage average;
        for (int i = 0; i < 30; ++i)
            average.add(i % 2 ? 0.5 : 0.3);
        QVERIFY(qFuzzyCompare(average.add(0.3), 0.4));
        QVERIFY(qFuzzyCompare(average.add(0.9), 0.4 - 0.5 / 30 + 0.9 / 30));
    }

    // Timeout 600 ms; 'R' where the source is to be restarted.
    void stallWatchdog_data()
    {
        QTest::addColumn<QString>("samples");
        QTest::addColumn<QString>("restarts");
        QTest::newRow("a frozen level is stuck after the timeout, and again") << "0:-20 599:-20 600:-20 1199:-20 1200:-20" << "--R-R";
        QTest::newRow("a moving level is never stuck") << "0:-20 500:-21 1000:-20 1500:-21" << "----";
        QTest::newRow("held stopped is never stuck") << "0:-20:held 600:-20:held 5000:-20:held" << "---";
        QTest::newRow("played again, watched again") << "0:-20:held 5000:-20:held 5250:-20 5599:-20 5600:-20" << "----R";
        QTest::newRow("NaN never equals itself") << "0:nan 600:nan 1200:nan" << "---";
    }
    void stallWatchdog()
    {
        QFETCH(QString, samples);
        QFETCH(QString, restarts);
        StallWatchdog watchdog(0);
        QString seen;
        for (const QStringList &s : ::samples(samples))
            seen += watchdog.isStuck(s[0].toLongLong(), s[1].toDouble(), s.size() > 2, 600) ? u'R' : u'-';
        QCOMPARE(seen, restarts);
    }

    // "ms since play, ms since connected (-1: not), silent, silent by level,
    // sounded before"; the first verdict of sound is due 5000 ms after its level.
    void startPhase_data()
    {
        QTest::addColumn<QString>("facts");
        QTest::addColumn<ActivityRule::Start>("phase");
        using S = ActivityRule::Start;
        QTest::newRow("never played") << "-1 -1 S L -" << S::Settled;
        QTest::newRow("connecting") << "1999 -1 S L -" << S::Pending;
        QTest::newRow("gave up connecting") << "2000 -1 S L -" << S::Settled;
        QTest::newRow("connected, no level yet") << "2100 499 S L -" << S::Pending;
        QTest::newRow("connected and quiet") << "2100 500 S L -" << S::Quiet;
        QTest::newRow("sounded") << "100 50 S - -" << S::Sounding;
        QTest::newRow("sounded once stays so") << "3000 2000 S L B" << S::Sounding;
        QTest::newRow("a verdict of sound settles") << "3000 2000 - - B" << S::Settled;
        QTest::newRow("past its first verdict") << "7000 6000 S - B" << S::Settled;
    }
    void startPhase()
    {
        QFETCH(QString, facts);
        QFETCH(ActivityRule::Start, phase);
        const QStringList f = facts.split(u' ');
        bool sounded = f[4] == u"B";
        QCOMPARE(ActivityRule::startPhase({ f[0].toLongLong(), f[1].toLongLong(), f[2] == u"S", f[3] == u"L", 5000 }, sounded), phase);
    }
};

QTEST_GUILESS_MAIN(TestSourceDecisions)
#include "tst_sourcedecisions.moc"
