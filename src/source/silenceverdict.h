// Whether a source is silent: the level against a threshold, with
// hysteresis, so that a pause between two words does not hand the air to
// another source. Fed with (monotonic time, level) samples; no clock, no
// timer of its own.
#pragma once

#include <QList>
#include <QtGlobal>

class SilenceVerdict
{
public:
    struct Settings
    {
        double levelDb; // at or below it a level is silent
        qint64 silenceMs; // silent by level this long: the verdict turns silent
        qint64 soundMs;   // sounding by level this long: the verdict turns sound
    };

    explicit SilenceVerdict(qint64 nowMs = 0) : m_byLevelSince(nowMs) { }

    // Takes the latest level at `nowMs` (a NaN counts as sound) and returns
    // the verdict that follows from `isSilent`, the verdict so far.
    bool update(qint64 nowMs, double levelDb, bool isSilent, const Settings &settings);
    // Counts the level's duration from `nowMs` again (a stop).
    void restartCount(qint64 nowMs) { m_byLevelSince = nowMs; }

    [[nodiscard]] bool isSilentByLevel() const { return m_isSilentByLevel; }
    [[nodiscard]] qint64 byLevelDurationMs(qint64 nowMs) const { return nowMs - m_byLevelSince; }
    // How long until the verdict `isSilent` turns if the level stays on its
    // side, or -1 when verdict and level agree.
    [[nodiscard]] qint64 dueInMs(qint64 nowMs, bool isSilent, const Settings &settings) const;

private:
    bool m_isSilentByLevel = true;
    qint64 m_byLevelSince;
};

// The running average of the last samples of a level, as the source shows
// it. A running sum by design: with fewer samples than the window it ramps
// up from 0.
class LevelAverage
{
public:
    static constexpr int window = 30;

    // Adds a sample and returns the new average.
    double add(double sample);
    void clear();
    [[nodiscard]] double value() const { return m_average; }

private:
    QList<double> m_samples;
    double m_average = 0.0;
};
