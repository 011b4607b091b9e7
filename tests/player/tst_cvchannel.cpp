// The ring between a decoder and the mixer: order, overflow, pacing, meter.
#include "cvengine_p.h"

#include <QTest>

#include <thread>
#include <vector>

using CVEngine::Channel;

namespace {

// Stereo frames whose left sample is its index, so order is visible.
std::vector<float> frames(int from, int count)
{
    std::vector<float> v;
    for (int i = 0; i < count; ++i) {
        v.push_back(float(from + i));
        v.push_back(-float(from + i));
    }
    return v;
}

std::vector<float> readFrames(Channel &ch, int count)
{
    std::vector<float> v(size_t(count) * 2);
    ch.read(v.data(), count);
    return v;
}

} // namespace

class TestCVChannel : public QObject
{
    Q_OBJECT

private slots:
    // A live input that overruns jumps once to half the ring and keeps the
    // newest audio, instead of dropping a little on every write.
    void liveOverflowSkipsToTheNewestHalf()
    {
        Channel ch(nullptr, 100);
        const std::atomic<bool> abort{false};
        auto a = frames(0, 80);
        QVERIFY(ch.write(a.data(), 80, abort));
        auto b = frames(80, 40);
        QVERIFY(ch.write(b.data(), 40, abort));
        QCOMPARE(ch.buffered(), 50);
        const auto out = readFrames(ch, 50);
        QCOMPARE(out.front(), 70.0f);
        QCOMPARE(out[98], 119.0f);
        // Once there is room again, writes lose nothing.
        auto c = frames(120, 60);
        QVERIFY(ch.write(c.data(), 60, abort));
        QCOMPARE(ch.buffered(), 60);
    }

    void pacedWriterWaitsForTheReader()
    {
        Channel ch(nullptr, 100);
        ch.setPaced(true);
        std::atomic<bool> abort{false};
        const auto in = frames(0, 250);
        std::atomic<bool> done{false};
        std::atomic<bool> written{false};
        std::thread writer([&] {
            written = ch.write(in.data(), 250, abort);
            done = true;
        });
        QTRY_COMPARE(ch.buffered(), 100);
        QVERIFY(!done);
        std::vector<float> got;
        while (got.size() < 500) {
            const auto part = readFrames(ch, 30);
            got.insert(got.end(), part.begin(), part.end());
            QTest::qWait(1);
        }
        writer.join();
        QVERIFY(written);
        for (int i = 0; i < 250; ++i) // nothing dropped, order kept across the wrap
            QCOMPARE(got[size_t(2 * i)], float(i));

        // A full paced ring gives up when told to stop.
        const auto more = frames(0, 200);
        std::thread blocked([&] { written = ch.write(more.data(), 200, abort); });
        QTRY_COMPARE(ch.buffered(), 100);
        abort = true;
        blocked.join();
        QVERIFY(!written);
    }

    void metersThePeakOfWhatWasRead()
    {
        Channel ch(nullptr, 100);
        const std::atomic<bool> abort{false};
        float peak = -1;
        QVERIFY(!ch.takePeak(&peak)); // nothing played yet: no reading
        const std::vector<float> in{ 0.1f, -0.5f, 0.25f, 0.0f };
        QVERIFY(ch.write(in.data(), 2, abort));
        const auto out = readFrames(ch, 5); // runs dry: silence after
        QCOMPARE(out[3], 0.0f);
        QCOMPARE(out[9], 0.0f);
        QVERIFY(ch.takePeak(&peak));
        QCOMPARE(peak, 0.5f);
        readFrames(ch, 5);
        QVERIFY(ch.takePeak(&peak));
        QCOMPARE(peak, 0.0f); // silence meters as silence
    }
};

QTEST_GUILESS_MAIN(TestCVChannel)
#include "tst_cvchannel.moc"
