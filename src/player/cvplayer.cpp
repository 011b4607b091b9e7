// PLACEHOLDER: replaced by the audio engine.
#include "cvplayer.h"
#include "cvnetworkaccessmanager.h"
CVPlayerSource::CVPlayerSource(QObject *parent) : QObject(parent) {}
CVPlayerSource::~CVPlayerSource() = default;
CVPlayerSimpleSource::CVPlayerSimpleSource(QObject *parent) : CVPlayerSource(parent) {}
CVPlayerSimpleSource::~CVPlayerSimpleSource() = default;
struct CVPlayer::Private { CVNetworkAccessManager *nam = nullptr; QUrl url; double volume = 1.0; bool updates = false; bool playing = false; };
CVPlayer::CVPlayer(QObject *parent) : CVPlayerSimpleSource(parent), d(new Private) { d->nam = new CVNetworkAccessManager(this); }
CVPlayer::~CVPlayer() { delete d; }
CVNetworkAccessManager *CVPlayer::nam() const { return d->nam; }
QString CVPlayer::playerName() const { return QStringLiteral("Player"); }
QUrl CVPlayer::streamUrl() const { return d->url; }
bool CVPlayer::isPlaying() const { return d->playing; }
bool CVPlayer::isStalled() const { return true; }
double CVPlayer::level() const { return 0.0; }
double CVPlayer::levelDb() const { return 0.0; }
double CVPlayer::volume() const { return d->volume; }
bool CVPlayer::isUpdatesLevel() const { return d->updates; }
void CVPlayer::setStreamUrl(const QUrl &u) { if (u != d->url) { d->url = u; emit streamUrlChanged(u); } }
void CVPlayer::setVolume(double v) { d->volume = v; }
void CVPlayer::setIsUpdatesLevel(bool b) { d->updates = b; }
void CVPlayer::play() { if (!d->playing) { d->playing = true; emit isPlayingChanged(true); } }
void CVPlayer::play(const QUrl &u) { setStreamUrl(u); play(); }
void CVPlayer::stop() { if (d->playing) { d->playing = false; emit isPlayingChanged(false); } }
