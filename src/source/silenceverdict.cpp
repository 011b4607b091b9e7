#include "silenceverdict.h"

bool SilenceVerdict::update(qint64 nowMs, double levelDb, bool isSilent, const Settings &settings)
{
    // NaN compares false: it counts as sound.
    const bool silentByLevel = settings.levelDb >= levelDb;
    if (silentByLevel != m_isSilentByLevel) {
        m_isSilentByLevel = silentByLevel;
        m_byLevelSince = nowMs;
    }
    if (isSilent == m_isSilentByLevel)
        return isSilent;
    const qint64 needed = m_isSilentByLevel ? settings.silenceMs : settings.soundMs;
    return byLevelDurationMs(nowMs) >= needed ? m_isSilentByLevel : isSilent;
}

qint64 SilenceVerdict::dueInMs(qint64 nowMs, bool isSilent, const Settings &settings) const
{
    if (isSilent == m_isSilentByLevel)
        return -1;
    const qint64 needed = m_isSilentByLevel ? settings.silenceMs : settings.soundMs;
    return qMax<qint64>(0, needed - byLevelDurationMs(nowMs));
}

double LevelAverage::add(double sample)
{
    m_samples.append(sample);
    double old = 0.0;
    if (m_samples.size() > window)
        old = m_samples.takeFirst();
    m_average = (m_average - old / window) + sample / window;
    return m_average;
}

void LevelAverage::clear()
{
    m_samples.clear();
    m_average = 0.0;
}
