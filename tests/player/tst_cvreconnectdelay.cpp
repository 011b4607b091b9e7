// The delays between a stream's connections: short after a session that
// played, growing while the server keeps failing, never past about 2 s.
#include "cvreconnectdelay.h"

#include <QTest>

class TestCVReconnectDelay : public QObject
{
    Q_OBJECT

private slots:
    void delay_data()
    {
        QTest::addColumn<int>("previousMs");
        QTest::addColumn<qint64>("playedMs");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("first failure") << 0 << qint64(0) << 500;
        QTest::newRow("second failure") << 500 << qint64(0) << 1000;
        QTest::newRow("third failure reaches the cap") << 1000 << qint64(0) << 2000;
        QTest::newRow("a server down for long stays at the cap") << 2000 << qint64(0) << 2000;
        QTest::newRow("a delay past the cap comes back to it") << 1000000000 << qint64(0) << 2000;
        QTest::newRow("a short session still backs off") << 2000 << qint64(9999) << 2000;
        QTest::newRow("a session that played 10 s retries at once") << 2000 << qint64(10000) << 500;
    }
    void delay()
    {
        QFETCH(int, previousMs);
        QFETCH(qint64, playedMs);
        QFETCH(int, expectedMs);
        QCOMPARE(CVEngine::reconnectDelayMs(previousMs, playedMs), expectedMs);
    }
};

QTEST_APPLESS_MAIN(TestCVReconnectDelay)
#include "tst_cvreconnectdelay.moc"
