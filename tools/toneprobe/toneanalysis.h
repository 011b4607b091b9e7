// Tone analysis of interleaved 16-bit PCM: which sine is heard when, how
// loud, and where the audio clicks or drops out. Shared by the probe tool
// and the test harness.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>
#include <QtGlobal>

namespace ToneAnalysis {

struct Window
{
    double startMs = 0;
    double frequencyHz = 0; // dominant frequency, 0 when the window is silent
    double peak = 0;        // 0..1 of full scale
};

// A run of consecutive windows carrying the same tone (or silence).
struct Segment
{
    double startMs = 0;
    double endMs = 0;
    double frequencyHz = 0; // mean over the run, 0 for silence
    double peak = 0;        // largest window peak in the run
};

// Windows whose peak stays below this (about -60 dBFS) count as silence.
constexpr double kSilencePeak = 0.001;

// All functions look at one channel (`channel`) of `channels` interleaved ones.
struct Pcm
{
    const qint16 *samples = nullptr;
    qsizetype frames = 0;
    int channels = 2;
    int sampleRate = 48000;
    int channel = 0;

    [[nodiscard]] double at(qsizetype frame) const
    {
        return samples[frame * channels + channel] / 32768.0;
    }
};

Pcm stereo(const QVector<qint16> &interleaved, int sampleRate = 48000);

// Dominant frequency of frames [from, to): Hann window, FFT, parabolic
// interpolation of the peak bin. 0 when the span is silent or too short.
double dominantFrequency(const Pcm &pcm, qsizetype from = 0, qsizetype to = -1);
double peakLevel(const Pcm &pcm, qsizetype from = 0, qsizetype to = -1);
QList<Window> toneTimeline(const Pcm &pcm, int windowMs = 50, double silencePeak = kSilencePeak);
// Joins windows whose frequencies differ by at most `toleranceHz`.
QList<Segment> segments(const QList<Window> &timeline, int windowMs = 50, double toleranceHz = 10.0);
// Largest |s[n] - s[n-1]| in frames [from, to), as a fraction of full scale.
double largestStep(const Pcm &pcm, qsizetype from = 0, qsizetype to = -1);
// Longest run of samples whose magnitude stays below `threshold`, in ms.
double longestSilentGapMs(const Pcm &pcm, double threshold = kSilencePeak);

double toDbfs(double linear); // -inf for 0

// Interleaved 16-bit samples with their layout.
struct Audio
{
    QVector<qint16> samples;
    int channels = 2;
    int sampleRate = 48000;
};

// Reads a RIFF/WAVE file of 16-bit PCM (plain or extensible), any channel
// count and rate. False with a reason for anything else.
bool readWav(const QByteArray &bytes, Audio *audio, QString *error);

} // namespace ToneAnalysis
