#include "olsource.h"

#include "cvnetworkaccessmanager.h"
#include "cvplayer.h"
#include "cvqueuedcall.h"
#include "cvurl.h"
#include "olhub.h"
#include "settingsschema.h"

#include <QCoreApplication>
#include <QtDebug>

#include <chrono>
#include <cmath>
#include <limits>

namespace {

constexpr int kUpdateIntervalMs = 250;
constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

qint64 s_stuckTimeoutMs = StallWatchdog::defaultTimeoutMs;

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

// The player's side of a start and a stop, in the player's thread: only the
// player is touched there. The start tells whether a device plays.
bool startPlayer(CVPlayer *player, const QUrl &url, const QString &name)
{
    if (url.isEmpty()) {
        qInfo() << "Source" << name << "start playing";
        player->play();
    } else {
        qInfo() << "Source" << name << "start playing" << CVUrl::forLog(url);
        player->play(url);
    }
    return isRecordUrl(player->streamUrl());
}

qint64 stopPlayer(CVPlayer *player)
{
    player->stop();
    return steadyNowMs();
}

} // namespace

OLSource::OLSource(OLHub *hub, QUrl streamUrl, double volumeLevel, QObject *parent)
    : QObject(parent)
    , m_streamUrl(std::move(streamUrl))
    , m_volumeLevel(volumeLevel)
    , m_hub(hub)
    , m_settings{SettingsSchema::silenceDetectionLevelDb.defaultValue,
                 SettingsSchema::silenceDetectionStartMs.defaultValue,
                 SettingsSchema::silenceDetectionEndMs.defaultValue}
    , m_verdict(steadyNowMs())
    , m_watchdog(steadyNowMs())
{
    m_isRecordDevice = isRecordUrl(m_streamUrl);
    m_avgLevelDb = kMinusInfinity;
    followHubSettings();
    logAndTimeChanges();

    connect(this, &OLSource::levelChanged, this, &OLSource::calculateAvgLevel);
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

void OLSource::followHubSettings()
{
    if (!m_hub)
        return;
    m_settings.levelDb = m_hub->silenceDetectionLevelDb();
    m_settings.silenceMs = m_hub->silenceDetectionStartMs();
    m_settings.soundMs = m_hub->silenceDetectionEndMs();
    connect(m_hub, &OLHub::silenceDetectionLevelDbChanged, this, [this](double levelDb) {
        m_settings.levelDb = levelDb;
        updateSilentState();
    });
    connect(m_hub, &OLHub::silenceDetectionStartMsChanged, this, [this](int ms) {
        m_settings.silenceMs = ms;
        updateSilentState();
    });
    connect(m_hub, &OLHub::silenceDetectionEndMsChanged, this, [this](int ms) {
        m_settings.soundMs = ms;
        updateSilentState();
    });
}

void OLSource::logAndTimeChanges()
{
    const qint64 now = steadyNowMs();
    m_activityStart = now;
    m_connectionStart = now;
    m_soundStart = now;
    connect(this, &OLSource::isActiveChanged, this, [this](bool isActive) {
        qInfo() << "Source" << displayName() << "isActive changed to" << isActive;
        m_activityStart = steadyNowMs();
    });
    connect(this, &OLSource::isConnectedChanged, this, [this](bool isConnected) {
        qInfo() << "Source" << displayName() << "isConnected changed to" << isConnected;
        m_connectionStart = steadyNowMs();
    });
    connect(this, &OLSource::isSilentSoundChanged, this, [this](bool isSilentSound) {
        qInfo() << "Source" << displayName() << "isSilentSound changed to" << isSilentSound;
        m_soundStart = steadyNowMs();
    });
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
    if (!m_player)
        return QStringLiteral("Unnamed source");
    return m_player->playerName() + u' ' + CVUrl::forLog(m_streamUrl);
}

CVPlayer *OLSource::player() const
{
    return m_player;
}

void OLSource::setStuckTimeoutMs(qint64 ms)
{
    s_stuckTimeoutMs = ms;
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
    CVQueuedCall::post(player, [player, url] { player->setStreamUrl(url); });
    connect(player, &CVPlayer::streamUrlChanged, this, &OLSource::updateStreamUrl, Qt::QueuedConnection);

    player->setVolume(0.0);

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

void OLSource::resetAfterStop(qint64 now)
{
    m_playedAt.invalidate();
    updateStartPhase();
    m_activityStart = now;
    m_connectionStart = now;
    m_soundStart = now;
    m_verdict.restartCount(now);
    m_average.clear();
    updateAvgLevel(0.0);
    updateAvgLevelDb(kMinusInfinity);
    m_watchdog.reset(now);
}

// The player's start (after a stop, for a restart) is queued to its
// thread; what belongs to the source comes back to this one.
void OLSource::queueStart(const QUrl &url, bool afterStop)
{
    CVPlayer *player = m_player;
    const QString name = displayName();
    CVQueuedCall::post(player, [this, player, url, name, afterStop] {
        if (afterStop) {
            qInfo() << name << "Restart source";
            const qint64 stoppedAt = stopPlayer(player);
            CVQueuedCall::post(this, [this, stoppedAt] { resetAfterStop(stoppedAt); });
        }
        const bool isRecordDevice = startPlayer(player, url, name);
        CVQueuedCall::post(this, [this, isRecordDevice] {
            updateIsRecordDevice(isRecordDevice);
            m_playedAt.start();
            m_hasSoundedSincePlay = false;
            updateStartPhase();
        });
    });
}

void OLSource::stopPlayerSync()
{
    CVPlayer *player = m_player;
    CVQueuedCall::postAndWait(player, [player] { player->stop(); });
}

void OLSource::play(QUrl streamUrl)
{
    if (!m_player)
        return;
    m_isHeldStopped = false;
    queueStart(streamUrl, false);
}

void OLSource::stop()
{
    if (!m_player)
        return;
    m_isHeldStopped = true;
    CVPlayer *player = m_player;
    CVQueuedCall::post(player, [this, player] {
        const qint64 stoppedAt = stopPlayer(player);
        CVQueuedCall::post(this, [this, stoppedAt] { resetAfterStop(stoppedAt); });
    });
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
    queueStart(QUrl(), true);
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
    // The hub unmutes one source and mutes another in one go. Straight to
    // the players, not through their threads, which a busy machine may keep
    // waiting: asked for at one moment, both take effect at the same sample.
    m_player->setVolumeAskedAt(volumeLevel, CVPlayer::clockUs());
}

// ---------------------------------------------------------------- state

void OLSource::updateIsConnected()
{
    updateIsConnected(m_isRecordDevice || (m_isPlaying && !m_isStalled));
    updateStartPhase();
}

void OLSource::updateStartPhase()
{
    if (!m_isConnected)
        m_connectedAt.invalidate();
    else if (!m_connectedAt.isValid())
        m_connectedAt.start();
    ActivityRule::StartFacts facts;
    facts.sincePlayMs = m_playedAt.isValid() ? m_playedAt.elapsed() : -1;
    facts.sinceConnectedMs = m_connectedAt.isValid() ? m_connectedAt.elapsed() : -1;
    facts.silent = m_isSilentSound;
    facts.silentByLevel = m_isSilentSoundByLevel;
    facts.soundMs = m_settings.soundMs;
    const ActivityRule::Start phase = ActivityRule::startPhase(facts, m_hasSoundedSincePlay);
    if (phase == m_startPhase)
        return;
    m_startPhase = phase;
    emit startPhaseChanged();
}

void OLSource::updateSilentState()
{
    const qint64 now = steadyNowMs();
    const bool isSilent = m_verdict.update(now, m_levelDb, m_isSilentSound, m_settings);
    updateIsSilentSoundByLevel(m_verdict.isSilentByLevel());
    updateActivityDurationMs(now - m_activityStart);
    updateConnectionDurationMs(now - m_connectionStart);
    updateSoundDurationMs(now - m_soundStart);
    updateSoundByLevelDurationMs(m_verdict.byLevelDurationMs(now));
    updateIsSilentSound(isSilent);
    const qint64 due = m_verdict.dueInMs(now, m_isSilentSound, m_settings);
    if (m_verdictTimer && due > 0 && due < kUpdateIntervalMs)
        m_verdictTimer->start(int(due));

    updateStartPhase();

    if (m_watchdog.isStuck(now, m_levelDb, m_isHeldStopped, s_stuckTimeoutMs)) {
        qWarning() << "Source" << displayName() << "was stuck, restarting";
        if (m_player)
            queueStart(QUrl(), true);
    }
}

void OLSource::calculateAvgLevel(double level)
{
    // The average is of what would be heard.
    updateAvgLevel(m_average.add(level * m_volumeLevel));
    updateAvgLevelDb(m_avgLevel > 0 ? 20.0 * std::log10(m_avgLevel) : kMinusInfinity);
}

// ---------------------------------------------------------------- setters



