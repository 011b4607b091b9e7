// The ring between a decoder and the mixer: order, overflow, pacing, meter,
// fades where the audio breaks off or jumps, and volume ramps in time.
#include "cvchannel_p.h"
#include "cvmixer_p.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

using CVEngine::Channel;
using CVEngine::FadeFrames;
using CVEngine::SampleRate;

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

// A 997 Hz tone at amplitude 0.5 from frame `from` on: its own largest step
// is about 0.065, and skipping frames breaks its phase.
constexpr double Pi = 3.14159265358979323846;
constexpr double ToneHz = 997.0;
constexpr double ToneAmplitude = 0.5;
const double ownStep = 2 * Pi * ToneHz / SampleRate * ToneAmplitude;

std::vector<float> tone(int from, int count)
{
    std::vector<float> v;
    for (int i = 0; i < count; ++i) {
        const float s = float(ToneAmplitude * std::sin(2 * Pi * ToneHz * (from + i) / SampleRate));
        v.push_back(s);
        v.push_back(s);
    }
    return v;
}

std::vector<float> readFrames(Channel &ch, int count)
{
    std::vector<float> v(size_t(count) * 2);
    ch.read(v.data(), count);
    return v;
}

void append(std::vector<float> &to, const std::vector<float> &part)
{
    to.insert(to.end(), part.begin(), part.end());
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
    // A live input that overruns jumps once to half the ring and keeps the
    // newest audio, instead of dropping a little on every write.
    void liveOverflowSkipsToTheNewestHalf()
    {
        Channel ch(nullptr, 2000);
        const std::atomic<bool> abort{false};
        auto a = frames(0, 1600);
        QVERIFY(ch.write(a.data(), 1600, abort));
        auto b = frames(1600, 800);
        QVERIFY(ch.write(b.data(), 800, abort));
        QCOMPARE(ch.buffered(), 1000);
        const auto out = readFrames(ch, 1000);
        for (int i = FadeFrames; i < 1000; ++i) // past the fade-in, in order
            QCOMPARE(out[size_t(2 * i)], float(1400 + i));
        // Once there is room again, writes lose nothing.
        auto c = frames(2400, 1200);
        QVERIFY(ch.write(c.data(), 1200, abort));
        QCOMPARE(ch.buffered(), 1200);
    }

    void pacedWriterWaitsForTheReader()
    {
        Channel ch(nullptr, 1000);
        ch.setPaced(true);
        std::atomic<bool> abort{false};
        const auto in = frames(0, 2500);
        std::atomic<bool> done{false};
        std::atomic<bool> written{false};
        std::thread writer([&] {
            written = ch.write(in.data(), 2500, abort);
            done = true;
        });
        QTRY_COMPARE(ch.buffered(), 1000);
        QVERIFY(!done);
        std::vector<float> got;
        while (got.size() < 5000) {
            // Only what was delivered: a writer slowed by a busy machine is no gap.
            if (ch.buffered() >= 300 || done)
                append(got, readFrames(ch, 300));
            QTest::qWait(1);
        }
        writer.join();
        QVERIFY(written);
        for (int i = FadeFrames; i < 2500; ++i) // nothing dropped, order kept across the wrap
            QCOMPARE(got[size_t(2 * i)], float(i));

        // A full paced ring gives up when told to stop.
        const auto more = frames(0, 2000);
        std::thread blocked([&] { written = ch.write(more.data(), 2000, abort); });
        QTRY_COMPARE(ch.buffered(), 1000);
        abort = true;
        blocked.join();
        QVERIFY(!written);
    }

    void metersThePeakOfWhatWasRead()
    {
        Channel ch(nullptr, 1000);
        const std::atomic<bool> abort{false};
        float p = -1;
        QVERIFY(!ch.takePeak(&p)); // nothing played yet: no reading
        std::vector<float> in(600, 0.25f);
        in[561] = -0.5f; // frame 280, past the fade-in
        QVERIFY(ch.write(in.data(), 300, abort));
        readFrames(ch, 400);
        QVERIFY(ch.takePeak(&p));
        QCOMPARE(p, 0.5f);
        readFrames(ch, 200); // the fade-out ends
        ch.takePeak(&p);
        readFrames(ch, 5);
        QVERIFY(ch.takePeak(&p));
        QCOMPARE(p, 0.0f); // silence meters as silence
    }

    // A stalled stream's ring empties, mid-block or right at a block's end;
    // later its audio returns. Neither the break nor the return may click,
    // yet the sound must not linger.
    void runningDryFadesOutAndRefillFadesIn_data()
    {
        QTest::addColumn<int>("buffered");
        QTest::newRow("mid-block") << 1000;
        QTest::newRow("at a block's end") << 960;
    }
    void runningDryFadesOutAndRefillFadesIn()
    {
        QFETCH(int, buffered);
        Channel ch(nullptr, SampleRate);
        const std::atomic<bool> abort{false};
        const auto first = tone(0, buffered);
        QVERIFY(ch.write(first.data(), buffered, abort));
        std::vector<float> out;
        for (int block = 0; block < 4; ++block)
            append(out, readFrames(ch, 480));
        QVERIFY2(largestStep(out) <= 1.2 * ownStep,
                 qPrintable(QStringLiteral("step %1 against the tone's %2").arg(largestStep(out)).arg(ownStep)));
        QVERIFY(peak(out, buffered, buffered + 20) > 0.2f); // fading, not cut
        QCOMPARE(peak(out, buffered + FadeFrames, 1920), 0.0f);

        // The audio returns at another phase.
        const auto again = tone(5000, 3000);
        QVERIFY(ch.write(again.data(), 3000, abort));
        std::vector<float> back = out;
        append(back, readFrames(ch, 480));
        append(back, readFrames(ch, 480));
        QVERIFY2(largestStep(back) <= 1.2 * ownStep,
                 qPrintable(QStringLiteral("step %1 against the tone's %2").arg(largestStep(back)).arg(ownStep)));
        QVERIFY(peak(back, 1920 + FadeFrames, 1920 + 960) > 0.49f); // full again after the fade
    }

    // A network burst overruns the ring: the skip forward breaks the tone's
    // phase, which must be crossfaded, not cut.
    void overflowSkipIsCrossfaded()
    {
        Channel ch(nullptr, 4800);
        const std::atomic<bool> abort{false};
        const auto first = tone(0, 4000);
        QVERIFY(ch.write(first.data(), 4000, abort));
        std::vector<float> out = readFrames(ch, 960);
        const auto burst = tone(4000, 3000);
        QVERIFY(ch.write(burst.data(), 3000, abort));
        QCOMPARE(ch.buffered(), 3000);
        append(out, readFrames(ch, 960));
        QVERIFY2(largestStep(out) <= 1.2 * ownStep,
                 qPrintable(QStringLiteral("step %1 against the tone's %2").arg(largestStep(out)).arg(ownStep)));
        // Past the crossfade the newest audio plays unchanged.
        for (int i = FadeFrames; i < 960; ++i)
            QCOMPARE(out[size_t(2 * (960 + i))], burst[size_t(2 * i)]);
    }

    // The heard source's player turns down while another's turns up: the two
    // changes come from two threads a moment apart and reach the mixer in
    // different blocks, yet ramp from the same sample, as a crossfade with
    // neither a gap nor both at full volume.
    void volumeChangesAskedTogetherRampTogether()
    {
        constexpr int Block = SampleRate / 25; // 40 ms, as a device may pull
        constexpr qint64 BlockUs = 40000;
        // Old is heard on the left, New on the right, both a steady 1.0.
        Channel oldCh(nullptr, SampleRate * 2);
        Channel newCh(nullptr, SampleRate * 2);
        const std::atomic<bool> abort{false};
        std::vector<float> left, right;
        for (int i = 0; i < SampleRate * 2; ++i) {
            left.insert(left.end(), { 1.0f, 0.0f });
            right.insert(right.end(), { 0.0f, 1.0f });
        }
        QVERIFY(oldCh.write(left.data(), SampleRate * 2, abort));
        QVERIFY(newCh.write(right.data(), SampleRate * 2, abort));

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
            append(out, block);
            clock += BlockUs;
        };
        for (int i = 0; i < 5; ++i)
            render();
        const int settled = int(out.size() / 2);

        // Old's change is due just before the end of the next block; New's,
        // asked for half a millisecond later, arrives only after that block.
        const qint64 askedUs = clock - CVEngine::VolumeDelayUs - 300;
        std::thread([&] { oldCh.setVolume(0.0f, askedUs); }).join();
        render();
        std::thread([&] { newCh.setVolume(1.0f, askedUs + 500); }).join();
        render();
        render();

        auto firstFrame = [&](int side, auto pred) {
            for (int i = settled; i < int(out.size() / 2); ++i) {
                if (pred(out[size_t(2 * i + side)]))
                    return i;
            }
            return -1;
        };
        const int oldDown = firstFrame(0, [](float v) { return v < 1.0f; });
        const int newUp = firstFrame(1, [](float v) { return v > 0.0f; });
        QVERIFY(oldDown > 0 && newUp > 0);
        QVERIFY2(std::abs(newUp - oldDown) <= SampleRate / 1000,
                 qPrintable(QStringLiteral("ramps start at frames %1 and %2").arg(oldDown).arg(newUp)));
        for (int i = settled; i < int(out.size() / 2); ++i) {
            const float sum = out[size_t(2 * i)] + out[size_t(2 * i + 1)];
            QVERIFY2(sum > 0.9f && sum < 1.1f, qPrintable(QStringLiteral("level %1 at frame %2").arg(sum).arg(i)));
        }
        QCOMPARE(out[out.size() - 2], 0.0f);
        QCOMPARE(out.back(), 1.0f);
    }
};

QTEST_GUILESS_MAIN(TestCVChannel)
#include "tst_cvchannel.moc"
