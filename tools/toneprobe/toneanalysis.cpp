#include "toneanalysis.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace ToneAnalysis {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Long spans are analysed over their first 2^20 frames (about 22 s at 48 kHz).
constexpr qsizetype kMaxFftFrames = qsizetype(1) << 20;

void clampSpan(const Pcm &pcm, qsizetype &from, qsizetype &to)
{
    if (to < 0 || to > pcm.frames)
        to = pcm.frames;
    from = std::clamp<qsizetype>(from, 0, to);
}

void fft(std::vector<std::complex<double>> &a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2 * kPi / double(len);
        const std::complex<double> wl(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1);
            for (size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[i + k];
                const std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= wl;
            }
        }
    }
}

} // namespace

Pcm stereo(const QVector<qint16> &interleaved, int sampleRate)
{
    Pcm pcm;
    pcm.samples = interleaved.constData();
    pcm.frames = interleaved.size() / 2;
    pcm.channels = 2;
    pcm.sampleRate = sampleRate;
    return pcm;
}

double toDbfs(double linear)
{
    return linear > 0 ? 20 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

double peakLevel(const Pcm &pcm, qsizetype from, qsizetype to)
{
    clampSpan(pcm, from, to);
    double peak = 0;
    for (qsizetype i = from; i < to; ++i)
        peak = std::max(peak, std::abs(pcm.at(i)));
    return peak;
}

double dominantFrequency(const Pcm &pcm, qsizetype from, qsizetype to)
{
    clampSpan(pcm, from, to);
    const qsizetype n = std::min(to - from, kMaxFftFrames);
    if (n < 32 || peakLevel(pcm, from, from + n) < kSilencePeak)
        return 0;

    // Zero-padding to at least 4x the span keeps bins narrow enough for the
    // interpolation to land within about 1 Hz on a 50 ms window.
    size_t size = 1;
    while (size < size_t(n) * 4 || size < 8192)
        size <<= 1;
    std::vector<std::complex<double>> buffer(size);
    for (qsizetype i = 0; i < n; ++i) {
        const double hann = 0.5 - 0.5 * std::cos(2 * kPi * double(i) / double(n - 1));
        buffer[size_t(i)] = pcm.at(from + i) * hann;
    }
    fft(buffer);

    const double binHz = double(pcm.sampleRate) / double(size);
    const size_t firstBin = std::max<size_t>(1, size_t(20.0 / binHz)); // skip DC and rumble
    const size_t lastBin = size / 2 - 1;
    size_t best = firstBin;
    double bestMagnitude = 0;
    for (size_t k = firstBin; k < lastBin; ++k) {
        const double m = std::norm(buffer[k]);
        if (m > bestMagnitude) {
            bestMagnitude = m;
            best = k;
        }
    }
    if (bestMagnitude <= 0)
        return 0;

    // Parabola through the log magnitudes of the peak and its neighbours.
    double offset = 0;
    if (best > 0 && best < lastBin) {
        const double l = std::log(std::norm(buffer[best - 1]) + 1e-300);
        const double c = std::log(bestMagnitude);
        const double r = std::log(std::norm(buffer[best + 1]) + 1e-300);
        const double denominator = l - 2 * c + r;
        if (denominator < 0)
            offset = std::clamp(0.5 * (l - r) / denominator, -0.5, 0.5);
    }
    return (double(best) + offset) * binHz;
}

QList<Window> toneTimeline(const Pcm &pcm, int windowMs, double silencePeak)
{
    QList<Window> timeline;
    const qsizetype windowFrames = std::max<qsizetype>(1, qsizetype(pcm.sampleRate) * windowMs / 1000);
    for (qsizetype from = 0; from + windowFrames <= pcm.frames; from += windowFrames) {
        Window w;
        w.startMs = double(from) * 1000.0 / pcm.sampleRate;
        w.peak = peakLevel(pcm, from, from + windowFrames);
        w.frequencyHz = w.peak < silencePeak ? 0 : dominantFrequency(pcm, from, from + windowFrames);
        timeline.append(w);
    }
    return timeline;
}

QList<Segment> segments(const QList<Window> &timeline, int windowMs, double toleranceHz)
{
    QList<Segment> result;
    double sum = 0;
    int count = 0;
    for (const Window &w : timeline) {
        const bool silent = w.frequencyHz <= 0;
        bool joins = false;
        if (!result.isEmpty()) {
            const Segment &last = result.last();
            const bool lastSilent = last.frequencyHz <= 0;
            joins = silent == lastSilent && (silent || std::abs(w.frequencyHz - last.frequencyHz) <= toleranceHz);
        }
        if (!joins) {
            result.append(Segment { w.startMs, w.startMs, 0, 0 });
            sum = 0;
            count = 0;
        }
        Segment &s = result.last();
        s.endMs = w.startMs + windowMs;
        s.peak = std::max(s.peak, w.peak);
        if (!silent) {
            sum += w.frequencyHz;
            ++count;
            s.frequencyHz = sum / count;
        }
    }
    return result;
}

double largestStep(const Pcm &pcm, qsizetype from, qsizetype to)
{
    clampSpan(pcm, from, to);
    double step = 0;
    for (qsizetype i = std::max<qsizetype>(from, 1); i < to; ++i)
        step = std::max(step, std::abs(pcm.at(i) - pcm.at(i - 1)));
    return step;
}

double longestSilentGapMs(const Pcm &pcm, double threshold)
{
    qsizetype longest = 0;
    qsizetype run = 0;
    for (qsizetype i = 0; i < pcm.frames; ++i) {
        if (std::abs(pcm.at(i)) < threshold) {
            longest = std::max(longest, ++run);
        } else {
            run = 0;
        }
    }
    return double(longest) * 1000.0 / pcm.sampleRate;
}

bool readWav(const QByteArray &bytes, Audio *audio, QString *error)
{
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE") {
        *error = QStringLiteral("not a RIFF/WAVE file");
        return false;
    }
    bool haveFormat = false;
    qsizetype pos = 12;
    while (pos + 8 <= bytes.size()) {
        const QByteArray id = bytes.mid(pos, 4);
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + pos + 4);
        const qsizetype body = pos + 8;
        // A size beyond the end (a recording cut short) takes what is there.
        const qsizetype available = std::min<qsizetype>(size, bytes.size() - body);
        if (id == "fmt " && available >= 16) {
            const char *f = bytes.constData() + body;
            const quint16 format = qFromLittleEndian<quint16>(f);
            const int channels = qFromLittleEndian<quint16>(f + 2);
            const qint64 rate = qFromLittleEndian<quint32>(f + 4);
            const quint16 bits = qFromLittleEndian<quint16>(f + 14);
            const bool extensiblePcm = format == 0xFFFE && available >= 26 && qFromLittleEndian<quint16>(f + 24) == 1;
            if ((format != 1 && !extensiblePcm) || bits != 16) {
                *error = QStringLiteral("only 16-bit PCM is supported (format %1, %2 bits)").arg(format).arg(bits);
                return false;
            }
            if (channels < 1 || rate < 1 || rate > 1000000) {
                *error = QStringLiteral("implausible layout: %1 channels at %2 Hz").arg(channels).arg(rate);
                return false;
            }
            audio->channels = channels;
            audio->sampleRate = int(rate);
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                *error = QStringLiteral("data chunk before fmt chunk");
                return false;
            }
            const qsizetype count = available / 2;
            audio->samples.resize(count - count % audio->channels);
            for (qsizetype i = 0; i < audio->samples.size(); ++i)
                audio->samples[i] = qFromLittleEndian<qint16>(bytes.constData() + body + 2 * i);
            return true;
        }
        pos = body + qsizetype(size) + (size & 1);
    }
    *error = QStringLiteral("no data chunk");
    return false;
}

} // namespace ToneAnalysis
