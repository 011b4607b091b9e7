// The stream player: one per source, living in the source's player thread.
#pragma once

#include <QObject>
#include <QUrl>
#include <QString>

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
    [[nodiscard]] bool isPlaying() const;
    [[nodiscard]] bool isStalled() const;
    [[nodiscard]] double level() const;
    [[nodiscard]] double levelDb() const;
    [[nodiscard]] double volume() const;
    [[nodiscard]] bool isUpdatesLevel() const;

public slots:
    void setStreamUrl(const QUrl &streamUrl);
    void setVolume(double volume);
    void setIsUpdatesLevel(bool isUpdatesLevel);
    // Starts or restarts the current URL.
    void play();
    // Switches to the URL and plays it; streamUrl() returns it right after.
    void play(const QUrl &streamUrl);
    void stop();

private:
    struct Private;
    Private *d;
};
