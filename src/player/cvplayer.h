// The stream player: one per source, living in the source's player thread.
#pragma once

#include <QObject>
#include <QUrl>
#include <QString>

#include <memory>

class CVNetworkAccessManager;

// Signals and state every player publishes, declared once.
class CVPlayerSource : public QObject
{
    Q_OBJECT
public:
    explicit CVPlayerSource(QObject *parent = nullptr);
    ~CVPlayerSource() override;

signals:
    void streamUrlChanged(QUrl streamUrl);
    void isPlayingChanged(bool isPlaying);
    void isStalledChanged(bool isStalled);
    void levelChanged(double level);
    void levelDbChanged(double levelDb);
    void volumeChanged(double volume);
    // The output device was lost or failed.
    void deviceFailure();
};

class CVPlayerSimpleSource : public CVPlayerSource
{
    Q_OBJECT
public:
    explicit CVPlayerSimpleSource(QObject *parent = nullptr);
    ~CVPlayerSimpleSource() override;
};

class CVPlayer : public CVPlayerSimpleSource
{
    Q_OBJECT
public:
    explicit CVPlayer(QObject *parent = nullptr);
    ~CVPlayer() override;

    // Never null; owned by the player.
    [[nodiscard]] CVNetworkAccessManager *nam() const;
    // Safe to call from any thread.
    [[nodiscard]] QString playerName() const;

    [[nodiscard]] QUrl streamUrl() const;
    // From play() until stop().
    [[nodiscard]] bool isPlaying() const;
    // While playing, fresh audio is not arriving (connecting, reconnecting,
    // no data for 1 s, a missing recording device); false when stopped.
    [[nodiscard]] bool isStalled() const;
    // Peak of what the mixer played in the last ~100 ms, before the volume;
    // levelDb is -inf for digital silence.
    [[nodiscard]] double level() const;
    [[nodiscard]] double levelDb() const;
    [[nodiscard]] double volume() const;
    [[nodiscard]] bool isUpdatesLevel() const;
    [[nodiscard]] static qint64 clockUs();

public slots:
    void setStreamUrl(const QUrl &streamUrl);
    void setVolume(double volume);
    // The volume as asked for at `askedAtUs` (clockUs()), from any thread:
    // changes asked for at one moment on several players take effect at the
    // same sample, whatever their threads are doing.
    void setVolumeAskedAt(double volume, qint64 askedAtUs);
    void setIsUpdatesLevel(bool isUpdatesLevel);
    // Starts or restarts the current URL.
    void play();
    // Switches to the URL and plays it; streamUrl() returns it right after.
    void play(const QUrl &streamUrl);
    void stop();

private:
    void retireInput();
    void reapInputs();
    // Re-reads the input's state; with `takeLevel` also publishes the level.
    void refresh(bool takeLevel);
    bool updateIsPlaying(bool isPlaying);
    bool updateIsStalled(bool isStalled);
    bool updateLevel(double level);

    struct Private;
    std::unique_ptr<Private> d;
};
