// One monitored input: a network stream or a recording device, played by
// its own CVPlayer in a thread of its own.
#pragma once

#include "changerule.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "activityrule.h"
#include "silenceverdict.h"
#include "stallwatchdog.h"

class OLHub;
class CVPlayer;

class OLSource : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl streamUrl READ streamUrl NOTIFY streamUrlChanged)
    Q_PROPERTY(bool isActive READ isActive WRITE setIsActive NOTIFY isActiveChanged)
    Q_PROPERTY(double volumeLevel READ volumeLevel WRITE setVolumeLevel NOTIFY volumeLevelChanged)
    Q_PROPERTY(qlonglong activityDurationMs READ activityDurationMs NOTIFY activityDurationMsChanged)
    Q_PROPERTY(bool isRecordDevice READ isRecordDevice NOTIFY isRecordDeviceChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(bool isStalled READ isStalled NOTIFY isStalledChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(qlonglong connectionDurationMs READ connectionDurationMs NOTIFY connectionDurationMsChanged)
    Q_PROPERTY(double level READ level NOTIFY levelChanged)
    Q_PROPERTY(double levelDb READ levelDb NOTIFY levelDbChanged)
    Q_PROPERTY(double avgLevel READ avgLevel NOTIFY avgLevelChanged)
    Q_PROPERTY(double avgLevelDb READ avgLevelDb NOTIFY avgLevelDbChanged)
    Q_PROPERTY(bool isSilentSound READ isSilentSound NOTIFY isSilentSoundChanged)
    Q_PROPERTY(qlonglong soundDurationMs READ soundDurationMs NOTIFY soundDurationMsChanged)
    Q_PROPERTY(bool isSilentSoundByLevel READ isSilentSoundByLevel NOTIFY isSilentSoundByLevelChanged)
    Q_PROPERTY(qlonglong soundByLevelDurationMs READ soundByLevelDurationMs NOTIFY soundByLevelDurationMsChanged)

public:
    OLSource(OLHub *hub, QUrl streamUrl, double volumeLevel, QObject *parent = nullptr);
    ~OLSource() override;

    [[nodiscard]] QUrl streamUrl() const { return m_streamUrl; }
    [[nodiscard]] bool isActive() const { return m_isActive; }
    [[nodiscard]] double volumeLevel() const { return m_volumeLevel; }
    [[nodiscard]] qlonglong activityDurationMs() const { return m_activityDurationMs; }
    [[nodiscard]] bool isRecordDevice() const { return m_isRecordDevice; }
    [[nodiscard]] bool isPlaying() const { return m_isPlaying; }
    [[nodiscard]] bool isStalled() const { return m_isStalled; }
    [[nodiscard]] bool isConnected() const { return m_isConnected; }
    [[nodiscard]] qlonglong connectionDurationMs() const { return m_connectionDurationMs; }
    [[nodiscard]] double level() const { return m_level; }
    [[nodiscard]] double levelDb() const { return m_levelDb; }
    [[nodiscard]] double avgLevel() const { return m_avgLevel; }
    [[nodiscard]] double avgLevelDb() const { return m_avgLevelDb; }
    [[nodiscard]] bool isSilentSound() const { return m_isSilentSound; }
    [[nodiscard]] qlonglong soundDurationMs() const { return m_soundDurationMs; }
    [[nodiscard]] bool isSilentSoundByLevel() const { return m_isSilentSoundByLevel; }
    [[nodiscard]] qlonglong soundByLevelDurationMs() const { return m_soundByLevelDurationMs; }

    // The player's name and the URL without user info, or "Unnamed source".
    [[nodiscard]] QString displayName() const;

    // Where the source stands since it was last played, for the choice of
    // the heard source.
    [[nodiscard]] ActivityRule::Start startPhase() const { return m_startPhase; }

    // Test seam: how long an unchanged levelDb may last before the source
    // counts as stuck and is restarted (five minutes in the program).
    static void setStuckTimeoutMs(qint64 ms);

signals:
    void streamUrlChanged(QUrl streamUrl);
    void isActiveChanged(bool isActive);
    void volumeLevelChanged(double volumeLevel);
    void activityDurationMsChanged(qlonglong activityDurationMs);
    void isRecordDeviceChanged(bool isRecordDevice);
    void isPlayingChanged(bool isPlaying);
    void isStalledChanged(bool isStalled);
    void isConnectedChanged(bool isConnected);
    void connectionDurationMsChanged(qlonglong connectionDurationMs);
    void levelChanged(double level);
    void levelDbChanged(double levelDb);
    void avgLevelChanged(double avgLevel);
    void avgLevelDbChanged(double avgLevelDb);
    void isSilentSoundChanged(bool isSilentSound);
    void soundDurationMsChanged(qlonglong soundDurationMs);
    void isSilentSoundByLevelChanged(bool isSilentSoundByLevel);
    void soundByLevelDurationMsChanged(qlonglong soundByLevelDurationMs);
    void deviceFailure();
    void startPhaseChanged();

public slots:
    bool setIsActive(bool isActive)
    {
        return ChangeRule::apply(this, m_isActive, isActive, &OLSource::isActiveChanged);
    }
    bool setVolumeLevel(double volumeLevel)
    {
        return ChangeRule::apply(this, m_volumeLevel, volumeLevel, &OLSource::volumeLevelChanged);
    }
    void play(QUrl streamUrl);
    void play() { play(QUrl()); }
    void stop();
    void stopSync();
    void restart();

protected:
    // For tests: the player, living in the player thread.
    [[nodiscard]] CVPlayer *player() const;

protected slots:
    bool updateStreamUrl(QUrl streamUrl)
    {
        return ChangeRule::apply(this, m_streamUrl, streamUrl, &OLSource::streamUrlChanged);
    }
    bool updateActivityDurationMs(qlonglong activityDurationMs)
    {
        return ChangeRule::apply(this, m_activityDurationMs, activityDurationMs, &OLSource::activityDurationMsChanged);
    }
    bool updateIsRecordDevice(bool isRecordDevice)
    {
        return ChangeRule::apply(this, m_isRecordDevice, isRecordDevice, &OLSource::isRecordDeviceChanged);
    }
    bool updateIsPlaying(bool isPlaying)
    {
        return ChangeRule::apply(this, m_isPlaying, isPlaying, &OLSource::isPlayingChanged);
    }
    bool updateIsStalled(bool isStalled)
    {
        return ChangeRule::apply(this, m_isStalled, isStalled, &OLSource::isStalledChanged);
    }
    bool updateIsConnected(bool isConnected)
    {
        return ChangeRule::apply(this, m_isConnected, isConnected, &OLSource::isConnectedChanged);
    }
    bool updateConnectionDurationMs(qlonglong connectionDurationMs)
    {
        return ChangeRule::apply(this, m_connectionDurationMs, connectionDurationMs, &OLSource::connectionDurationMsChanged);
    }
    bool updateLevel(double level)
    {
        return ChangeRule::apply(this, m_level, level, &OLSource::levelChanged);
    }
    bool updateLevelDb(double levelDb)
    {
        return ChangeRule::apply(this, m_levelDb, levelDb, &OLSource::levelDbChanged);
    }
    bool updateAvgLevel(double avgLevel)
    {
        return ChangeRule::apply(this, m_avgLevel, avgLevel, &OLSource::avgLevelChanged);
    }
    bool updateAvgLevelDb(double avgLevelDb)
    {
        return ChangeRule::apply(this, m_avgLevelDb, avgLevelDb, &OLSource::avgLevelDbChanged);
    }
    bool updateIsSilentSound(bool isSilentSound)
    {
        return ChangeRule::apply(this, m_isSilentSound, isSilentSound, &OLSource::isSilentSoundChanged);
    }
    bool updateSoundDurationMs(qlonglong soundDurationMs)
    {
        return ChangeRule::apply(this, m_soundDurationMs, soundDurationMs, &OLSource::soundDurationMsChanged);
    }
    bool updateIsSilentSoundByLevel(bool isSilentSoundByLevel)
    {
        return ChangeRule::apply(this, m_isSilentSoundByLevel, isSilentSoundByLevel, &OLSource::isSilentSoundByLevelChanged);
    }
    bool updateSoundByLevelDurationMs(qlonglong soundByLevelDurationMs)
    {
        return ChangeRule::apply(this, m_soundByLevelDurationMs, soundByLevelDurationMs, &OLSource::soundByLevelDurationMsChanged);
    }

private slots:
    void initPlayer();
    void handleActiveUpdate(bool isActive);
    void handleVolumeLevelUpdate(double volumeLevel);
    void updateIsConnected();
    void updateSilentState();
    void updatePlayerVolume(double volumeLevel);
    void calculateAvgLevel(double level);

private:
    QUrl m_streamUrl;
    bool m_isActive = false;
    double m_volumeLevel = 1.0;
    qlonglong m_activityDurationMs = 0;
    bool m_isRecordDevice = false;
    bool m_isPlaying = false;
    bool m_isStalled = false;
    bool m_isConnected = false;
    qlonglong m_connectionDurationMs = 0;
    double m_level = 0.0;
    double m_levelDb = 0.0;
    double m_avgLevel = 0.0;
    double m_avgLevelDb = 0.0;
    bool m_isSilentSound = true;
    qlonglong m_soundDurationMs = 0;
    bool m_isSilentSoundByLevel = true;
    qlonglong m_soundByLevelDurationMs = 0;

    QPointer<OLHub> m_hub;
    QThread m_playerThread;
    QPointer<CVPlayer> m_player;
    // The hub's settings; the stored defaults for a source without a hub.
    SilenceVerdict::Settings m_settings;
    SilenceVerdict m_verdict;
    LevelAverage m_average;
    StallWatchdog m_watchdog;
    qint64 m_activityStart = 0; // monotonic ms
    qint64 m_connectionStart = 0; // monotonic ms
    qint64 m_soundStart = 0; // monotonic ms
    QTimer *m_updateTimer = nullptr;
    QTimer *m_verdictTimer = nullptr;
    // Since the last play, invalid while stopped or never played.
    QElapsedTimer m_playedAt;
    QElapsedTimer m_connectedAt;
    ActivityRule::Start m_startPhase = ActivityRule::Start::Settled;
    bool m_hasSoundedSincePlay = false;
    void updateStartPhase();

    // Not meant to play: never played yet, or stopped on request. The
    // watchdog leaves such a source alone.
    bool m_isHeldStopped = true;

    void followHubSettings();
    void logAndTimeChanges();
    void resetAfterStop(qint64 now);
    void queueStart(const QUrl &url, bool afterStop);
    void stopPlayerSync();
};
