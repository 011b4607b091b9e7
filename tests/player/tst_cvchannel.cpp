// The engine's parts that need no device: the ring between a decoder and the
// mixer, the volume ramps, and the delays between a stream's connections.
#include "cvchannel_p.h"
#include "cvmixer_p.h"
#include "cvreconnectdelay.h"

#include <QTest>

#include <cmath>
#include <future>
#include <thread>
#include <vector>

using CVEngine::Channel;
using CVEngine::FadeFrames;
using CVEngine::SampleRate;

namespace {

const std::atomic<bool> noAbort{false};

// Stereo frames of a 997 Hz tone at 0.5 from frame `from` on; a skip breaks its phase.
std::vector<float> tone(int from, int count)
{
    std::vector<float> v;
    for (int i = from; i < from + count; ++i)
        v.insert(v.end(), 2, float(0.5 * std::sin(2 * M_PI * 997.0 * i / SampleRate)));
    return v;
}
const float ownStep = float(2 * M_PI * 997.0 / SampleRate * 0.5);

void read(Channel &ch, std::vector<float> &into, int count)
{
    std::vector<float> v(size_t(count) * 2);
    ch.read(v.data(), count);
    into.insert(into.end(), v.begin(), v.end());
}

float largestStep(const std::vector<float> &v)
{
    float step = 0;
    for (size_t k = 2; k < v.size(); ++k)
        step = std::max(step, std::fabs(v[k] - v[k - 2]));
    return step;
}

float peak(const std::vector<float> &v, int fromFrame, int toFrame)
{
    float p = 0;
    for (size_t k = size_t(fromFrame) * 2; k < size_t(toFrame) * 2 && k < v.size(); ++k)
        p = std::max(p, std::fabs(v[k]));
    return p;
}

} // namespace

class TestCVChannel : public QObject
{
    Q_OBJECT

private slots:
    // A live input that overruns jumps once to half the ring, to the newest
    // audio, crossfaded; a little dropped on every write would click each time.
    void liveOverflowSkipsToTheNewestHalfCrossfaded()
    {
        Channel ch(nullptr, 2000);
        QVERIFY(ch.write(tone(0, 2000).data(), 2000, noAbort));
        std::vector<float> out;
        read(ch, out, 480);
        QVERIFY(ch.write(tone(2000, 600).data(), 600, noAbort));
        QCOMPARE(ch.buffered(), 1000);
        read(ch, out, 1000);
        QVERIFY2(largestStep(out) <= 1.2f * ownStep, qPrintable(QString::number(largestStep(out))));
        const auto newest = tone(1600, 1000);
        for (int i = FadeFrames; i < 1000; ++i)
            QCOMPARE(out[size_t(2 * (480 + i))], newest[size_t(2 * i)]);
        QVERIFY(ch.write(tone(0, 1200).data(), 1200, noAbort));
        QCOMPARE(ch.buffered(), 1200);
    }

    // Giving up on abort, the player test sees: its paced file's player is destroyed.
    void pacedWriterWaitsForTheReaderAndDropsNothing()
    {
        Channel ch(nullptr, 1000);
        ch.setPaced(true);
        const auto in = tone(0, 2500);
        auto written = std::async(std::launch::async, [&] { return ch.write(in.data(), 2500, noAbort); });
        QTRY_COMPARE(ch.buffered(), 1000);
        QVERIFY(written.wait_for(std::chrono::seconds()) == std::future_status::timeout);
        std::vector<float> got;
        while (got.size() < in.size()) {
            if (ch.buffered() >= 300 || written.wait_for(std::chrono::seconds()) == std::future_status::ready)
                read(ch, got, 300);
            QTest::qWait(1);
        }
        QVERIFY(written.get());
        for (size_t k = 2 * FadeFrames; k < in.size(); ++k)
            QCOMPARE(got[k], in[k]);
    }

    // Neither the break (mid-block or at a block's end) nor the return clicks,
    // nor does the sound linger; the meter reads what was played, silence too.
    void runningDryFadesOutAndRefillFadesIn()
    {
        for (const int buffered : { 1000, 960 }) {
            Channel ch(nullptr, SampleRate);
            float meter = -1;
            QVERIFY(!ch.takePeak(&meter));
            QVERIFY(ch.write(tone(0, buffered).data(), buffered, noAbort));
            std::vector<float> out, quiet;
            for (int block = 0; block < 4; ++block)
                read(ch, out, 480);
            QVERIFY(ch.takePeak(&meter) && meter > 0.49f && meter <= 0.5f);
            read(ch, quiet, 5);
            QVERIFY(ch.takePeak(&meter) && meter == 0.0f);
            QVERIFY(peak(out, buffered, buffered + 20) > 0.2f);
            QCOMPARE(peak(out, buffered + FadeFrames, 1920), 0.0f);
            QVERIFY(ch.write(tone(5000, 3000).data(), 3000, noAbort));
            read(ch, out, 960);
            QVERIFY2(largestStep(out) <= 1.2f * ownStep, qPrintable(QString::number(largestStep(out))));
            QVERIFY(peak(out, 1920 + FadeFrames, 1920 + 960) > 0.49f);
        }
    }

    // One source down, another up, asked a moment apart from two threads and
    // reaching the mixer in different blocks: both ramps start on one sample.
    void volumeChangesAskedTogetherRampTogether()
    {
        constexpr int Block = SampleRate / 25;
        Channel oldCh(nullptr, SampleRate * 2), newCh(nullptr, SampleRate * 2);
        std::vector<float> left(size_t(SampleRate) * 4, 0.0f), right = left;
        for (size_t k = 0; k < left.size(); k += 2)
            left[k] = right[k + 1] = 1.0f;
        QVERIFY(oldCh.write(left.data(), SampleRate * 2, noAbort));
        QVERIFY(newCh.write(right.data(), SampleRate * 2, noAbort));
        qint64 clock = 1000000;
        oldCh.setVolume(1.0f, clock - 300000);
        newCh.setVolume(0.0f, clock - 300000);
        std::vector<float> out;
        auto render = [&] {
            std::vector<float> block(size_t(Block) * 2, 0.0f), in(size_t(Block) * 2);
            for (Channel *ch : { &oldCh, &newCh }) {
                ch->read(in.data(), Block);
                CVEngine::mixChannel(*ch, in.data(), block.data(), Block, clock);
            }
            out.insert(out.end(), block.begin(), block.end());
            clock += 40000;
        };
        for (int i = 0; i < 5; ++i)
            render();
        const int settled = int(out.size() / 2);
        const qint64 askedUs = clock - CVEngine::VolumeDelayUs - 300;
        std::thread([&] { oldCh.setVolume(0.0f, askedUs); }).join();
        render();
        std::thread([&] { newCh.setVolume(1.0f, askedUs + 500); }).join();
        render();
        render();

        // Ramps of 10 ms started more than a millisecond apart would leave the sum.
        for (size_t k = size_t(settled) * 2; k < out.size(); k += 2)
            QVERIFY2(out[k] + out[k + 1] > 0.9f && out[k] + out[k + 1] < 1.1f, qPrintable(QString::number(k / 2)));
        QCOMPARE(out[out.size() - 2], 0.0f);
        QCOMPARE(out.back(), 1.0f);
    }

    // Previous delay, ms played, next delay: doubling up to the cap, and
    // back to the first only after a session that played 10 s.
    void reconnectDelay()
    {
        for (const auto &[previous, played, next] : { std::tuple(0, 0, 500), { 500, 0, 1000 }, { 1000, 0, 2000 }, { 2000, 0, 2000 },
                                                       { 1000000000, 0, 2000 }, { 2000, 9999, 2000 }, { 2000, 10000, 500 } })
            QVERIFY2(CVEngine::reconnectDelayMs(previous, played) == next, qPrintable(QStringLiteral("%1 %2").arg(previous).arg(played)));
    }
};

QTEST_GUILESS_MAIN(TestCVChannel)
#include "tst_cvchannel.moc"
