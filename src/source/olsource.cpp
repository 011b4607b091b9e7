// PLACEHOLDER: replaced by the source implementation.
#include "olsource.h"
#include "olhub.h"
#include "cvplayer.h"
#include <limits>
static qint64 s_stuckTimeoutMs = 300000;
OLSource::OLSource(OLHub *hub, QUrl streamUrl, double volumeLevel, QObject *parent)
    : QObject(parent), m_streamUrl(streamUrl), m_volumeLevel(volumeLevel), m_hub(hub)
{
    m_isRecordDevice = streamUrl.scheme() == QLatin1String("record");
    m_avgLevelDb = -std::numeric_limits<double>::infinity();
}
OLSource::~OLSource() = default;
QString OLSource::displayName() const { return QStringLiteral("Unnamed source"); }
void OLSource::setStuckTimeoutMs(qint64 ms) { s_stuckTimeoutMs = ms; }
qint64 OLSource::stuckTimeoutMs() { return s_stuckTimeoutMs; }
bool OLSource::setIsActive(bool v) { if (v == m_isActive) return false; m_isActive = v; emit isActiveChanged(v); return true; }
bool OLSource::setVolumeLevel(double v) { if (v == m_volumeLevel) return false; m_volumeLevel = v; emit volumeLevelChanged(v); return true; }
void OLSource::play(QUrl) {}
void OLSource::stop() {}
void OLSource::stopSync() {}
void OLSource::restart() {}
bool OLSource::updateStreamUrl(QUrl) { return false; }
bool OLSource::updateActivityDurationMs(qlonglong) { return false; }
bool OLSource::updateIsRecordDevice(bool) { return false; }
bool OLSource::updateIsPlaying(bool) { return false; }
bool OLSource::updateIsStalled(bool) { return false; }
bool OLSource::updateIsConnected(bool) { return false; }
bool OLSource::updateConnectionDurationMs(qlonglong) { return false; }
bool OLSource::updateLevel(double) { return false; }
bool OLSource::updateLevelDb(double) { return false; }
bool OLSource::updateAvgLevel(double) { return false; }
bool OLSource::updateAvgLevelDb(double) { return false; }
bool OLSource::updateIsSilentSound(bool) { return false; }
bool OLSource::updateSoundDurationMs(qlonglong) { return false; }
bool OLSource::updateIsSilentSoundByLevel(bool) { return false; }
bool OLSource::updateSoundByLevelDurationMs(qlonglong) { return false; }
void OLSource::initPlayer() {}
void OLSource::handleActiveUpdate(bool) {}
void OLSource::handleVolumeLevelUpdate(double) {}
void OLSource::updateIsConnected() {}
void OLSource::updateSilentState() {}
void OLSource::updatePlayerVolume(double) {}
void OLSource::calculateAvgLevel(double) {}
