// The analysis the end-to-end checks rely on, on synthetic signals whose
// answer is known.
#include "toneanalysis.h"

#include <QTest>
#include <QtEndian>
#include <cmath>

using namespace ToneAnalysis;

namespace {

constexpr int kRate = 48000;

// Appends `ms` of a sine (0 Hz = digital silence) to an interleaved stereo buffer.
void appendTone(QVector<qint16> &out, double hz, int ms, double amplitude = 0.125, double phase = 0)
{
    const int frames = kRate * ms / 1000;
    for (int i = 0; i < frames; ++i) {
        const qint16 v = hz > 0 ? qint16(std::lround(32767 * amplitude * std::sin(phase + 2 * M_PI * hz * i / kRate))) : 0;
        out << v << v;
    }
}

QByteArray le16(int v)
{
    QByteArray b(2, 0);
    qToLittleEndian<quint16>(quint16(v), b.data());
    return b;
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, 0);
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

QByteArray chunk(const QByteArray &id, const QByteArray &body, quint32 declaredSize = 0)
{
    QByteArray c = id + le32(declaredSize ? declaredSize : quint32(body.size())) + body;
    if (body.size() % 2)
        c += '\0';
    return c;
}

QByteArray wav(int format, int channels, int rate, int bits, const QByteArray &data, quint32 declaredDataSize = 0)
{
    QByteArray fmt = le16(format) + le16(channels) + le32(quint32(rate)) + le32(quint32(rate * channels * bits / 8))
                     + le16(channels * bits / 8) + le16(bits);
    if (format == 0xFFFE)
        fmt += le16(22) + le16(bits) + le32(0) + le16(1) + QByteArray(14, 0); // sub-format PCM
    const QByteArray body = "WAVE" + chunk("fmt ", fmt) + chunk("LIST", "odd") + chunk("data", data, declaredDataSize);
    return "RIFF" + le32(quint32(body.size())) + body;
}

} // namespace

class TestToneAnalysis : public QObject
{
    Q_OBJECT

private slots:
    void frequencyOfOneWindow_data()
    {
        QTest::addColumn<double>("hz");
        QTest::newRow("low tone") << 100.0;
        QTest::newRow("440 Hz") << 440.0;
        QTest::newRow("880 Hz") << 880.0;
        QTest::newRow("between bins") << 1234.5;
        QTest::newRow("high tone") << 9000.0;
    }
    void frequencyOfOneWindow()
    {
        QFETCH(double, hz);
        QVector<qint16> pcm;
        appendTone(pcm, hz, 50, 0.125, 0.7);
        QVERIFY2(std::abs(dominantFrequency(stereo(pcm)) - hz) < 1.5, qPrintable(QString::number(dominantFrequency(stereo(pcm)))));
    }

    void louderToneWinsAndSilenceHasNoFrequency()
    {
        QVector<qint16> a;
        QVector<qint16> b;
        appendTone(a, 440, 50, 0.05);
        appendTone(b, 880, 50, 0.2);
        QVector<qint16> mix(a.size());
        for (int i = 0; i < a.size(); ++i)
            mix[i] = qint16(a[i] + b[i]);
        QVERIFY(std::abs(dominantFrequency(stereo(mix)) - 880) < 1.5);

        QVector<qint16> quiet;
        appendTone(quiet, 440, 50, 0.0005); // below -60 dBFS
        QCOMPARE(dominantFrequency(stereo(quiet)), 0.0);
    }

    void timelineAndSegmentsFollowTheSwitches()
    {
        QVector<qint16> pcm;
        appendTone(pcm, 440, 300);
        appendTone(pcm, 0, 100);
        appendTone(pcm, 880, 200);
        const QList<Window> timeline = toneTimeline(stereo(pcm));
        QCOMPARE(timeline.size(), 12);
        QCOMPARE(timeline.at(6).startMs, 300.0);
        QCOMPARE(timeline.at(6).frequencyHz, 0.0);
        QVERIFY(std::abs(toDbfs(timeline.at(0).peak) - -18.06) < 0.1);

        const QList<Segment> parts = segments(timeline);
        QCOMPARE(parts.size(), 3);
        QCOMPARE(parts.at(0).endMs, 300.0);
        QVERIFY(std::abs(parts.at(0).frequencyHz - 440) < 1.5);
        QCOMPARE(parts.at(1).frequencyHz, 0.0);
        QCOMPARE(parts.at(2).startMs, 400.0);
        QVERIFY(std::abs(parts.at(2).frequencyHz - 880) < 1.5);
    }

    void wavFiles()
    {
        const QByteArray samples = le16(1) + le16(-2) + le16(3);
        Audio audio;
        QString error;
        QVERIFY2(readWav(wav(1, 1, 44100, 16, samples), &audio, &error), qPrintable(error));
        QCOMPARE(audio.channels, 1);
        QCOMPARE(audio.sampleRate, 44100);
        QCOMPARE(audio.samples, (QVector<qint16> { 1, -2, 3 }));

        // Extensible PCM; a data size beyond the end keeps whole frames only.
        QVERIFY2(readWav(wav(0xFFFE, 2, 48000, 16, samples, 1000), &audio, &error), qPrintable(error));
        QCOMPARE(audio.channels, 2);
        QCOMPARE(audio.samples, (QVector<qint16> { 1, -2 }));

        QVERIFY(!readWav(wav(1, 2, 48000, 24, samples), &audio, &error));
        QVERIFY(error.contains(QStringLiteral("24 bits")));
        QVERIFY(!readWav(wav(3, 2, 48000, 16, samples), &audio, &error)); // float
        QVERIFY(!readWav(wav(1, 0, 48000, 16, samples), &audio, &error));
        QVERIFY(!readWav(QByteArray("RIFF\4\0\0\0WAVE", 12), &audio, &error)); // no chunks
        QVERIFY(!readWav(QByteArray(), &audio, &error));
    }

    void clicksAndGapsAreFound()
    {
        QVector<qint16> smooth;
        appendTone(smooth, 440, 100);
        // A continuous sine moves at most 2*pi*f/rate*amplitude per sample.
        QVERIFY(largestStep(stereo(smooth)) < 2 * M_PI * 440 / kRate * 0.125 * 1.01);
        QVERIFY(longestSilentGapMs(stereo(smooth)) < 0.1);

        QVector<qint16> broken = smooth;
        appendTone(broken, 0, 20);
        appendTone(broken, 440, 100, 0.125, M_PI / 2); // resumes at its crest: a click
        QVERIFY(std::abs(largestStep(stereo(broken)) - 0.125) < 0.01);
        QVERIFY(std::abs(longestSilentGapMs(stereo(broken)) - 20) < 0.5);
        // Only the span asked about counts.
        QVERIFY(largestStep(stereo(broken), 0, smooth.size() / 2) < 0.01);
    }
};

QTEST_GUILESS_MAIN(TestToneAnalysis)
#include "tst_toneanalysis.moc"
