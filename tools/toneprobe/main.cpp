// ondaline-toneprobe: prints which tone a recording carries in every window,
// then the tone segments and summary figures. Reads a raw capture (48 kHz
// s16le stereo, as parec records) or a 16-bit PCM WAV file.
#include "toneanalysis.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QtEndian>
#include <QString>
#include <cmath>

namespace {

QString db(double linear)
{
    const double value = ToneAnalysis::toDbfs(linear);
    return std::isinf(value) ? QStringLiteral("-inf") : QString::number(value, 'f', 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ondaline-toneprobe"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints the dominant tone of every window of a recording, its tone segments and summary figures.\n"
        "FILE is a WAV (16-bit PCM) or raw s16le interleaved audio (48 kHz stereo unless told otherwise)."));
    parser.addHelpOption();
    const QCommandLineOption windowOption(QStringLiteral("window"), QStringLiteral("Window length in ms (50)."),
                                          QStringLiteral("ms"), QStringLiteral("50"));
    const QCommandLineOption rateOption(QStringLiteral("rate"), QStringLiteral("Sample rate of a raw file (48000)."),
                                        QStringLiteral("hz"), QStringLiteral("48000"));
    const QCommandLineOption channelsOption(QStringLiteral("channels"),
                                            QStringLiteral("Channels of a raw file (2)."), QStringLiteral("n"),
                                            QStringLiteral("2"));
    const QCommandLineOption silenceOption(QStringLiteral("silence-db"),
                                           QStringLiteral("Windows whose peak is below this are silent (-60)."),
                                           QStringLiteral("dbfs"), QStringLiteral("-60"));
    const QCommandLineOption summaryOption(QStringLiteral("summary"),
                                           QStringLiteral("Print the segments and figures only, no timeline."));
    parser.addOptions({ windowOption, rateOption, channelsOption, silenceOption, summaryOption });
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The recording."));
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);
    if (parser.positionalArguments().size() != 1) {
        err << parser.helpText();
        return 64;
    }
    bool ok = true;
    const int windowMs = parser.value(windowOption).toInt(&ok);
    ToneAnalysis::Audio audio;
    bool rateOk = true;
    bool channelsOk = true;
    bool silenceOk = true;
    audio.sampleRate = parser.value(rateOption).toInt(&rateOk);
    audio.channels = parser.value(channelsOption).toInt(&channelsOk);
    const double silencePeak = std::pow(10.0, parser.value(silenceOption).toDouble(&silenceOk) / 20.0);
    if (!ok || !rateOk || !channelsOk || !silenceOk || windowMs < 1 || audio.sampleRate < 1 || audio.channels < 1) {
        err << "Invalid option value\n";
        return 64;
    }

    const QString path = parser.positionalArguments().constFirst();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err << "Cannot open " << path << ": " << file.errorString() << '\n';
        return 1;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.startsWith("RIFF")) {
        QString error;
        if (!ToneAnalysis::readWav(bytes, &audio, &error)) {
            err << path << ": " << error << '\n';
            return 1;
        }
    } else {
        const qsizetype count = bytes.size() / 2;
        audio.samples.resize(count - count % audio.channels);
        for (qsizetype i = 0; i < audio.samples.size(); ++i)
            audio.samples[i] = qFromLittleEndian<qint16>(bytes.constData() + 2 * i);
    }

    ToneAnalysis::Pcm pcm;
    pcm.samples = audio.samples.constData();
    pcm.channels = audio.channels;
    pcm.frames = audio.samples.size() / audio.channels;
    pcm.sampleRate = audio.sampleRate;

    const QList<ToneAnalysis::Window> timeline = ToneAnalysis::toneTimeline(pcm, windowMs, silencePeak);
    if (!parser.isSet(summaryOption)) {
        out << "# time_ms frequency_hz peak_dbfs\n";
        for (const ToneAnalysis::Window &w : timeline)
            out << qRound64(w.startMs) << ' ' << QString::number(w.frequencyHz, 'f', 1) << ' ' << db(w.peak) << '\n';
    }
    out << "# segments: start_ms end_ms frequency_hz peak_dbfs\n";
    for (const ToneAnalysis::Segment &s : ToneAnalysis::segments(timeline, windowMs))
        out << "segment " << qRound64(s.startMs) << ' ' << qRound64(s.endMs) << ' '
            << QString::number(s.frequencyHz, 'f', 1) << ' ' << db(s.peak) << '\n';
    out << "duration_ms " << QString::number(double(pcm.frames) * 1000.0 / pcm.sampleRate, 'f', 1) << '\n'
        << "peak_dbfs " << db(ToneAnalysis::peakLevel(pcm)) << '\n'
        << "dominant_hz " << QString::number(ToneAnalysis::dominantFrequency(pcm), 'f', 1) << '\n'
        << "largest_step " << QString::number(ToneAnalysis::largestStep(pcm), 'f', 4) << '\n'
        << "longest_silent_gap_ms " << QString::number(ToneAnalysis::longestSilentGapMs(pcm, silencePeak), 'f', 1)
        << '\n';
    return 0;
}
