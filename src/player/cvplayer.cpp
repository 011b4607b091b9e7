// The stream player: owns its input thread and its mixer channel, and turns
// what they do into properties.
#include "cvplayer.h"
#include "cvmixer_p.h"
#include "cvnetworkaccessmanager.h"
#include "changerule.h"
#include "cvqueuedcall.h"
#include "cvrecordinput_p.h"
#include "cvstreaminput_p.h"
#include "cvurl.h"

#include <QAtomicInt>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

CVPlayerSource::CVPlayerSource(QObject *parent) : QObject(parent) {}
CVPlayerSource::~CVPlayerSource() = default;

CVPlayerSimpleSource::CVPlayerSimpleSource(QObject *parent) : CVPlayerSource(parent) {}
CVPlayerSimpleSource::~CVPlayerSimpleSource() = default;

namespace {
// No fresh audio for this long is a stall.
constexpr qint64 StallMs = 1000;
// Ten looks a second: a meter a person can read, well inside the quarter
// second a silence verdict may take, and half the wake-ups of twenty.
constexpr int LevelIntervalMs = 100;

// The input that plays `url` into `channel`, or none for a URL it does not
// play (the channel then stays disconnected: nothing is opened or retried).
CVEngine::InputPtr makeInput(const QUrl &url, const std::shared_ptr<CVEngine::Channel> &channel,
                             const QString &name, const std::function<void()> &notify)
{
    if (url.scheme() == QLatin1String("record")) {
        bool ok = false;
        const int device = url.path().toInt(&ok);
        return CVEngine::InputPtr(new CVEngine::RecordInput(channel, name, notify, ok ? device : -1));
    }
    if (CVUrl::isStream(url))
        return CVEngine::InputPtr(new CVEngine::StreamInput(channel, name, notify, url));
    if (url.isEmpty())
        qWarning() << name << "has no stream URL to play";
    else
        qWarning() << name << "does not play" << CVUrl::forLog(url) << "- only http and https streams";
    channel->setState(CVEngine::Channel::Missing);
    return nullptr;
}

QString nextPlayerName()
{
    static QAtomicInt counter;
    return QStringLiteral("Player %1").arg(counter.fetchAndAddRelaxed(1) + 1);
}
} // namespace

struct CVPlayer::Private
{
    CVNetworkAccessManager *nam = nullptr;
    QTimer *timer = nullptr;
    const QString name = nextPlayerName();
    QUrl url;
    bool playing = false;
    bool stalled = false;
    bool updatesLevel = false;
    double level = 0.0;
    double levelDb = -std::numeric_limits<double>::infinity();
    // The volume is set from any thread; the channel is replaced only in
    // the player's own, which reads it there without the lock.
    mutable std::mutex volumeMutex;
    double volume = 1.0;
    std::shared_ptr<CVEngine::Channel> channel;
    CVEngine::InputPtr input;
    // Inputs told to stop that have not finished yet (a blocking call ends
    // within a poll interval of the network layer).
    std::vector<CVEngine::InputPtr> retiring;
};

CVPlayer::CVPlayer(QObject *parent) : CVPlayerSimpleSource(parent), d(std::make_unique<Private>())
{
    d->nam = new CVNetworkAccessManager(this);
    d->timer = new QTimer(this);
    d->timer->setInterval(LevelIntervalMs);
    connect(d->timer, &QTimer::timeout, this, [this] {
        reapInputs();
        refresh(true);
    });
}

CVPlayer::~CVPlayer()
{
    if (d->channel)
        CVEngine::Mixer::instance().removeChannel(d->channel);
    // Each input is stopped and joined as it goes.
    d->input.reset();
    d->retiring.clear();
}

CVNetworkAccessManager *CVPlayer::nam() const { return d->nam; }
QString CVPlayer::playerName() const { return d->name; }
QUrl CVPlayer::streamUrl() const { return d->url; }
bool CVPlayer::isPlaying() const { return d->playing; }
bool CVPlayer::isStalled() const { return d->stalled; }
double CVPlayer::level() const { return d->level; }
double CVPlayer::levelDb() const { return d->levelDb; }
double CVPlayer::volume() const
{
    std::lock_guard<std::mutex> lock(d->volumeMutex);
    return d->volume;
}
bool CVPlayer::isUpdatesLevel() const { return d->updatesLevel; }

void CVPlayer::setStreamUrl(const QUrl &streamUrl)
{
    if (streamUrl == d->url)
        return;
    d->url = streamUrl;
    emit streamUrlChanged(streamUrl);
}

qint64 CVPlayer::clockUs()
{
    return CVEngine::nowUs();
}

void CVPlayer::setVolume(double volume)
{
    setVolumeAskedAt(volume, clockUs());
}

void CVPlayer::setVolumeAskedAt(double volume, qint64 askedAtUs)
{
    if (!(volume > 0.0))
        volume = 0.0; // negative and NaN alike
    {
        std::lock_guard<std::mutex> lock(d->volumeMutex);
        if (volume == d->volume)
            return;
        d->volume = volume;
        if (d->channel)
            d->channel->setVolume(float(volume), askedAtUs);
    }
    emit volumeChanged(volume);
}

void CVPlayer::setIsUpdatesLevel(bool isUpdatesLevel)
{
    if (isUpdatesLevel == d->updatesLevel)
        return;
    d->updatesLevel = isUpdatesLevel;
}

void CVPlayer::play(const QUrl &streamUrl)
{
    setStreamUrl(streamUrl);
    play();
}

void CVPlayer::play()
{
    retireInput();
    auto &mixer = CVEngine::Mixer::instance();
    if (d->channel)
        mixer.removeChannel(d->channel);
    {
        auto channel = std::make_shared<CVEngine::Channel>(this);
        std::lock_guard<std::mutex> lock(d->volumeMutex);
        channel->setVolume(float(d->volume));
        d->channel = std::move(channel);
    }
    // Posts only: the input thread must never wait for this one.
    d->input = makeInput(d->url, d->channel, d->name,
                         [this] { CVQueuedCall::post(this, [this] { refresh(false); }); });
    mixer.addChannel(d->channel);
    if (d->input)
        d->input->start();
    d->timer->start();
    updateIsPlaying(true);
    updateIsStalled(true);
}

void CVPlayer::stop()
{
    retireInput();
    if (d->channel) {
        CVEngine::Mixer::instance().removeChannel(d->channel);
        std::lock_guard<std::mutex> lock(d->volumeMutex);
        d->channel.reset();
    }
    d->timer->stop();
    updateIsPlaying(false);
    updateIsStalled(false);
    updateLevel(0.0);
}

void CVPlayer::retireInput()
{
    if (!d->input)
        return;
    d->input->abort();
    d->retiring.push_back(std::move(d->input));
    reapInputs();
}

void CVPlayer::reapInputs()
{
    auto &r = d->retiring;
    r.erase(std::remove_if(r.begin(), r.end(), [](const auto &input) { return input->isFinished(); }), r.end());
}

void CVPlayer::refresh(bool takeLevel)
{
    if (!d->playing || !d->channel)
        return;
    const auto &ch = *d->channel;
    const bool flowing = ch.state() == CVEngine::Channel::Streaming
                         && CVEngine::nowMs() - ch.lastDataMs() < StallMs;
    updateIsStalled(!flowing);
    float peak = 0.0f;
    // Nothing mixed since the last look (a slow device period): keep the value.
    if (takeLevel && d->updatesLevel && d->channel->takePeak(&peak))
        updateLevel(double(peak));
}

bool CVPlayer::updateIsPlaying(bool isPlaying)
{
    return ChangeRule::apply(this, d->playing, isPlaying, &CVPlayer::isPlayingChanged);
}

bool CVPlayer::updateIsStalled(bool isStalled)
{
    return ChangeRule::apply(this, d->stalled, isStalled, &CVPlayer::isStalledChanged);
}

bool CVPlayer::updateLevel(double level)
{
    const double db = level > 0.0 ? 20.0 * std::log10(level) : -std::numeric_limits<double>::infinity();
    const bool changed = level != d->level;
    if (changed) {
        d->level = level;
        emit levelChanged(level);
    }
    if (db != d->levelDb) {
        d->levelDb = db;
        emit levelDbChanged(db);
    }
    return changed;
}
