#include "olsource.h"

#include "cvnetworkaccessmanager.h"
#include "cvplayer.h"
#include "cvurl.h"
#include "olhub.h"
#include "queuedcall.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QtDebug>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>

namespace {

constexpr int kUpdateIntervalMs = 250;
constexpr int kLevelWindowSize = 30;
constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

qint64 s_stuckTimeoutMs = 300000;

// The setter rule: store and report a change only when the value differs
// (doubles compared with ==, so a NaN always counts as a change).
template<typename T>
bool assign(T &member, const T &value)
{
    if (value == member)
        return false;
    member = value;
    return true;
}

// Durations and verdicts run on a monotonic clock: a step of the wall
// clock (daylight saving, a time server's correction) must not shift them.
qint64 steadyNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool isRecordUrl(const QUrl &url)
{
    return url.scheme() == QLatin1String("record");
}

} // namespace

OLSource::OLSource(OLHub *hub, QUrl streamUrl, double volumeLevel, QObject *parent)
    : QObject(parent), m_streamUrl(std::move(streamUrl)), m_volumeLevel(volumeLevel), m_hub(hub)
{
    m_isRecordDevice = isRecordUrl(m_streamUrl);
    m_avgLevelDb = kMinusInfinity;
    m_namedUrl = m_streamUrl;

    if (m_hub) {
        connect(m_hub, &OLHub::silenceDetectionLevelDbChanged, this, [this](double levelDb) {
            m_silenceDetectionLevelDb = levelDb;
            updateSilentState();
        });
        m_silenceDetectionLevelDb = m_hub->silenceDetectionLevelDb();
        connect(m_hub, &OLHub::silenceDetectionStartMsChanged, this, [this](int ms) {
            m_silenceDetectionStartMs = ms;
            updateSilentState();
        });
        m_silenceDetectionStartMs = m_hub->silenceDetectionStartMs();
        connect(m_hub, &OLHub::silenceDetectionEndMsChanged, this, [this](int ms) {
            m_silenceDetectionEndMs = ms;
            updateSilentState();
        });
        m_silenceDetectionEndMs = m_hub->silenceDetectionEndMs();
    }

    m_activityStart = steadyNowMs();
    connect(this, &OLSource::isActiveChanged, this, [this](bool isActive) {
        qInfo() << "Source" << displayName() << "isActive changed to" << isActive;
        m_activityStart = steadyNowMs();
    });
    m_connectionStart = steadyNowMs();
    connect(this, &OLSource::isConnectedChanged, this, [this](bool isConnected) {
        qInfo() << "Source" << displayName() << "isConnected changed to" << isConnected;
        m_connectionStart = steadyNowMs();
    });
    m_soundStart = steadyNowMs();
    connect(this, &OLSource::isSilentSoundChanged, this, [this](bool isSilentSound) {
        qInfo() << "Source" << displayName() << "isSilentSound changed to" << isSilentSound;
        m_soundStart = steadyNowMs();
    });

    m_soundByLevelStart = steadyNowMs();
    connect(this, &OLSource::levelChanged, this, &OLSource::calculateAvgLevel);
    m_watchdogLastLevelDb = 0.0;
    m_watchdogTime = steadyNowMs();
    connect(this, &OLSource::levelDbChanged, this, &OLSource::updateSilentState);

    updateSilentState();
    initPlayer();

    m_updateTimer = new QTimer(this);
    m_updateTimer->setInterval(kUpdateIntervalMs);
    connect(m_updateTimer, &QTimer::timeout, this, &OLSource::updateSilentState);
    m_updateTimer->start();

    // A verdict falls due between two periodic updates; deciding it right
    // then instead of up to one period later shortens every failover.
    m_verdictTimer = new QTimer(this);
    m_verdictTimer->setSingleShot(true);
    m_verdictTimer->setTimerType(Qt::PreciseTimer);
    connect(m_verdictTimer, &QTimer::timeout, this, &OLSource::updateSilentState);

    m_playerThread.start();
}

OLSource::~OLSource()
{
    if (m_player)
        stopPlayerSync();
    m_playerThread.quit();
    m_playerThread.wait();
}

QString OLSource::displayName() const
{
    return nameFor(m_player.data());
}

QString OLSource::nameFor(const CVPlayer *player) const
{
    if (!player)
        return QStringLiteral("Unnamed source");
    QMutexLocker locker(&m_namedUrlMutex);
    return player->playerName() + u' ' + CVUrl::forLog(m_namedUrl);
}

CVPlayer *OLSource::player() const
{
    return m_player;
}

void OLSource::setStuckTimeoutMs(qint64 ms)
{
    s_stuckTimeoutMs = ms;
}

qint64 OLSource::stuckTimeoutMs()
{
    return s_stuckTimeoutMs;
}

// ---------------------------------------------------------------- the player

void OLSource::initPlayer()
{
    // Owned by the player thread: deleted there once the thread finishes.
    auto *player = new CVPlayer(nullptr);
    m_player = player;
    player->setIsUpdatesLevel(true);
    player->nam()->setReferer(QCoreApplication::organizationDomain());

    player->moveToThread(&m_playerThread);
    connect(&m_playerThread, &QThread::finished, player, &QObject::deleteLater);

    connect(player, &CVPlayer::deviceFailure, this, &OLSource::deviceFailure);

    const QUrl url = m_streamUrl;
    QueuedCall::post(player, [player, url] { player->setStreamUrl(url); });
    connect(player, &CVPlayer::streamUrlChanged, this, &OLSource::updateStreamUrl, Qt::QueuedConnection);

    QueuedCall::post(player, [player] { player->setVolume(0.0); });

    connect(this, &OLSource::isActiveChanged, this, &OLSource::handleActiveUpdate);
    connect(this, &OLSource::volumeLevelChanged, this, &OLSource::handleVolumeLevelUpdate);

    connect(player, &CVPlayer::isPlayingChanged, this, &OLSource::updateIsPlaying, Qt::QueuedConnection);
    m_isPlaying = player->isPlaying();
    connect(player, &CVPlayer::isStalledChanged, this, &OLSource::updateIsStalled, Qt::QueuedConnection);
    m_isStalled = player->isStalled();

    connect(this, &OLSource::isPlayingChanged, this, qOverload<>(&OLSource::updateIsConnected),
            Qt::QueuedConnection);
    connect(this, &OLSource::isStalledChanged, this, qOverload<>(&OLSource::updateIsConnected),
            Qt::QueuedConnection);
    updateIsConnected();

    connect(player, &CVPlayer::levelChanged, this, &OLSource::updateLevel, Qt::QueuedConnection);
    m_level = player->level();
    connect(player, &CVPlayer::levelDbChanged, this, &OLSource::updateLevelDb, Qt::QueuedConnection);
    m_levelDb = player->levelDb();
}

// Player thread. Only the player is touched here; what belongs to the source
// is handed back to the source's thread.
void OLSource::startRoutine(CVPlayer *player, const QUrl &url)
{
    if (url.isEmpty()) {
        qInfo() << "Source" << nameFor(player) << "start playing";
        player->play();
    } else {
        qInfo() << "Source" << nameFor(player) << "start playing" << CVUrl::forLog(url);
        player->play(url);
    }
    const bool isRecordDevice = isRecordUrl(player->streamUrl());
    QueuedCall::post(this, [this, isRecordDevice] {
        updateIsRecordDevice(isRecordDevice);
        m_playedAt.start();
        m_hasSoundedSincePlay = false;
        updateStartPhase();
    });
}

// Player thread, as startRoutine.
void OLSource::stopRoutine(CVPlayer *player)
{
    player->stop();
    const qint64 now = steadyNowMs();
    QueuedCall::post(this, [this, now] { resetAfterStop(now); });
}

void OLSource::resetAfterStop(qint64 now)
{
    m_playedAt.invalidate();
    updateStartPhase();
    m_activityStart = now;
    m_connectionStart = now;
    m_soundStart = now;
    m_soundByLevelStart = now;
    updateAvgLevel(0.0);
    updateAvgLevelDb(kMinusInfinity);
    m_levelWindow.clear();
    m_watchdogLastLevelDb = 0.0;
    m_watchdogTime = now;
}

void OLSource::queueRestart()
{
    CVPlayer *player = m_player;
    QueuedCall::post(
        player,
        [this, player] {
            qInfo() << nameFor(player) << "Restart source";
            stopRoutine(player);
            startRoutine(player, QUrl());
        });
}

void OLSource::stopPlayerSync()
{
    CVPlayer *player = m_player;
    if (!m_playerThread.isRunning() || QThread::currentThread() == &m_playerThread) {
        player->stop(); // nothing else can be touching the player now
        return;
    }
    // Standard primitives rather than QMutex/QWaitCondition: a thread
    // sanitizer sees their locking even when Qt is not instrumented.
    std::mutex mutex;
    std::condition_variable stopped;
    bool done = false;
    std::unique_lock<std::mutex> lock(mutex);
    QueuedCall::post(
        player,
        [player, &mutex, &stopped, &done] {
            std::lock_guard<std::mutex> guard(mutex);
            player->stop();
            done = true;
            stopped.notify_all();
        });
    stopped.wait(lock, [&done] { return done; });
}

void OLSource::play(QUrl streamUrl)
{
    if (!m_player)
        return;
    m_isHeldStopped = false;
    CVPlayer *player = m_player;
    QueuedCall::post(player, [this, player, streamUrl] { startRoutine(player, streamUrl); });
}

void OLSource::stop()
{
    if (!m_player)
        return;
    m_isHeldStopped = true;
    CVPlayer *player = m_player;
    QueuedCall::post(player, [this, player] { stopRoutine(player); });
}

void OLSource::stopSync()
{
    if (!m_player)
        return;
    m_isHeldStopped = true;
    stopPlayerSync();
    // The caller is this source's thread: the reset needs no hand-over.
    resetAfterStop(steadyNowMs());
}

void OLSource::restart()
{
    if (!m_player)
        return;
    m_isHeldStopped = false;
    queueRestart();
}

// ---------------------------------------------------------------- volume

void OLSource::handleActiveUpdate(bool isActive)
{
    updatePlayerVolume(isActive ? m_volumeLevel : 0.0);
}

void OLSource::handleVolumeLevelUpdate(double volumeLevel)
{
    updatePlayerVolume(m_isActive ? volumeLevel : 0.0);
}

void OLSource::updatePlayerVolume(double volumeLevel)
{
    if (!m_player)
        return;
    CVPlayer *player = m_player;
    QueuedCall::post(player, [player, volumeLevel] { player->setVolume(volumeLevel); });
}

// ---------------------------------------------------------------- state

void OLSource::updateIsConnected()
{
    updateIsConnected(m_isRecordDevice || (m_isPlaying && !m_isStalled));
    updateStartPhase();
}

void OLSource::updateStartPhase()
{
    using ActivityRule::Start;
    if (!m_isConnected)
        m_connectedAt.invalidate();
    else if (!m_connectedAt.isValid())
        m_connectedAt.start();
    Start phase = Start::Settled;
    if (m_playedAt.isValid()) {
        const qint64 ms = m_playedAt.elapsed();
        if (!m_isConnected) {
            if (ms < ActivityRule::connectHoldMs)
                phase = Start::Pending;
        } else if (m_isSilentSound && ms < ActivityRule::connectHoldMs + m_silenceDetectionEndMs) {
            // Once sounded it stays so: a dip at the stream's start (an
            // encoder's priming) must not hand the air to a lower source.
            m_hasSoundedSincePlay = m_hasSoundedSincePlay || !m_isSilentSoundByLevel;
            if (m_hasSoundedSincePlay)
                phase = Start::Sounding;
            else
                phase = m_connectedAt.elapsed() < ActivityRule::firstSoundHoldMs ? Start::Pending : Start::Quiet;
        }
    }
    if (phase == m_startPhase)
        return;
    m_startPhase = phase;
    emit startPhaseChanged();
}

void OLSource::updateSilentState()
{
    const qint64 now = steadyNowMs();

    // NaN compares false: it counts as sound.
    const bool silentByLevel = m_silenceDetectionLevelDb >= m_levelDb;
    if (silentByLevel != m_isSilentSoundByLevel) {
        m_soundByLevelStart = now;
        updateIsSilentSoundByLevel(silentByLevel);
    }

    updateActivityDurationMs(now - m_activityStart);
    updateConnectionDurationMs(now - m_connectionStart);
    updateSoundDurationMs(now - m_soundStart);
    updateSoundByLevelDurationMs(now - m_soundByLevelStart);

    if (!m_isSilentSound && m_isSilentSoundByLevel
        && m_soundByLevelDurationMs >= qlonglong(m_silenceDetectionStartMs))
        updateIsSilentSound(true);
    if (m_isSilentSound && !m_isSilentSoundByLevel && m_soundByLevelDurationMs >= qlonglong(m_silenceDetectionEndMs))
        updateIsSilentSound(false);
    if (m_verdictTimer && m_isSilentSound != m_isSilentSoundByLevel) {
        const qlonglong needed = m_isSilentSoundByLevel ? m_silenceDetectionStartMs : m_silenceDetectionEndMs;
        const qlonglong due = needed - m_soundByLevelDurationMs;
        if (due > 0 && due < kUpdateIntervalMs)
            m_verdictTimer->start(int(due));
    }

    updateStartPhase();

    // Stall watchdog. A source never played or stopped on request (logout,
    // say) stays stopped: restarting it would put it on air behind the
    // operator's back, with credentials that are no longer valid.
    if (m_levelDb != m_watchdogLastLevelDb || m_isHeldStopped)
        m_watchdogTime = now;
    m_watchdogLastLevelDb = m_levelDb;
    if (now - m_watchdogTime >= s_stuckTimeoutMs) {
        qWarning() << "Source" << displayName() << "was stuck, restarting";
        m_watchdogTime = now;
        if (m_player)
            queueRestart();
    }
}

void OLSource::calculateAvgLevel(double level)
{
    const double sample = level * m_volumeLevel;
    m_levelWindow.append(sample);
    double old = 0.0;
    if (m_levelWindow.size() > kLevelWindowSize)
        old = m_levelWindow.takeFirst();
    // A running sum by design: with fewer than 30 samples it ramps up from 0.
    updateAvgLevel((m_avgLevel - old / kLevelWindowSize) + sample / kLevelWindowSize);
    updateAvgLevelDb(m_avgLevel > 0 ? 20.0 * std::log10(m_avgLevel) : kMinusInfinity);
}

// ---------------------------------------------------------------- setters

bool OLSource::setIsActive(bool isActive)
{
    if (!assign(m_isActive, isActive))
        return false;
    emit isActiveChanged(m_isActive);
    return true;
}

bool OLSource::setVolumeLevel(double volumeLevel)
{
    if (!assign(m_volumeLevel, volumeLevel))
        return false;
    emit volumeLevelChanged(m_volumeLevel);
    return true;
}

bool OLSource::updateStreamUrl(QUrl streamUrl)
{
    if (streamUrl == m_streamUrl)
        return false;
    m_streamUrl = streamUrl;
    {
        QMutexLocker locker(&m_namedUrlMutex);
        m_namedUrl = streamUrl;
    }
    emit streamUrlChanged(m_streamUrl);
    return true;
}

bool OLSource::updateActivityDurationMs(qlonglong activityDurationMs)
{
    if (!assign(m_activityDurationMs, activityDurationMs))
        return false;
    emit activityDurationMsChanged(m_activityDurationMs);
    return true;
}

bool OLSource::updateIsRecordDevice(bool isRecordDevice)
{
    if (!assign(m_isRecordDevice, isRecordDevice))
        return false;
    emit isRecordDeviceChanged(m_isRecordDevice);
    return true;
}

bool OLSource::updateIsPlaying(bool isPlaying)
{
    if (!assign(m_isPlaying, isPlaying))
        return false;
    emit isPlayingChanged(m_isPlaying);
    return true;
}

bool OLSource::updateIsStalled(bool isStalled)
{
    if (!assign(m_isStalled, isStalled))
        return false;
    emit isStalledChanged(m_isStalled);
    return true;
}

bool OLSource::updateIsConnected(bool isConnected)
{
    if (!assign(m_isConnected, isConnected))
        return false;
    emit isConnectedChanged(m_isConnected);
    return true;
}

bool OLSource::updateConnectionDurationMs(qlonglong connectionDurationMs)
{
    if (!assign(m_connectionDurationMs, connectionDurationMs))
        return false;
    emit connectionDurationMsChanged(m_connectionDurationMs);
    return true;
}

bool OLSource::updateLevel(double level)
{
    if (!assign(m_level, level))
        return false;
    emit levelChanged(m_level);
    return true;
}

bool OLSource::updateLevelDb(double levelDb)
{
    if (!assign(m_levelDb, levelDb))
        return false;
    emit levelDbChanged(m_levelDb);
    return true;
}

bool OLSource::updateAvgLevel(double avgLevel)
{
    if (!assign(m_avgLevel, avgLevel))
        return false;
    emit avgLevelChanged(m_avgLevel);
    return true;
}

bool OLSource::updateAvgLevelDb(double avgLevelDb)
{
    if (!assign(m_avgLevelDb, avgLevelDb))
        return false;
    emit avgLevelDbChanged(m_avgLevelDb);
    return true;
}

bool OLSource::updateIsSilentSound(bool isSilentSound)
{
    if (!assign(m_isSilentSound, isSilentSound))
        return false;
    emit isSilentSoundChanged(m_isSilentSound);
    return true;
}

bool OLSource::updateSoundDurationMs(qlonglong soundDurationMs)
{
    if (!assign(m_soundDurationMs, soundDurationMs))
        return false;
    emit soundDurationMsChanged(m_soundDurationMs);
    return true;
}

bool OLSource::updateIsSilentSoundByLevel(bool isSilentSoundByLevel)
{
    if (!assign(m_isSilentSoundByLevel, isSilentSoundByLevel))
        return false;
    emit isSilentSoundByLevelChanged(m_isSilentSoundByLevel);
    return true;
}

bool OLSource::updateSoundByLevelDurationMs(qlonglong soundByLevelDurationMs)
{
    if (!assign(m_soundByLevelDurationMs, soundByLevelDurationMs))
        return false;
    emit soundByLevelDurationMsChanged(m_soundByLevelDurationMs);
    return true;
}
