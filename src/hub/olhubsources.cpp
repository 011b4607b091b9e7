// The hub's source list: its operations, the stored list, the choice of the
// heard source and the following of the service's stream list.
#include "olhub.h"

#include <QDebug>
#include <QJsonObject>
#include <QTimer>

#include "activityrule.h"
#include "cvbass.h"
#include "cvurl.h"
#include "olclientuser.h"
#include "olsource.h"
#include "reconciliationplan.h"
#include "settingsschema.h"

namespace {
namespace Schema = SettingsSchema;

const QString StreamUrlMember = QStringLiteral("streamUrl");

void warnLeftOut(qsizetype count, const char *what)
{
    qWarning() << count << what << "left out: at most" << Schema::maxSources << "sources are played";
}
} // namespace

// A position from the interface: 0 <= index < count, or a warning and nothing done.
bool OLHub::isValidIndex(int index, const char *what) const
{
    if (index >= 0 && index < m_sources->count())
        return true;
    qWarning() << what << index << "is not valid";
    return false;
}

OLSource *OLHub::createSource(const QUrl &streamUrl, double volumeLevel)
{
    auto *source = new OLSource(this, streamUrl, volumeLevel, this);
    connect(source, &OLSource::streamUrlChanged, this, &OLHub::saveSourcesStreamsToSettings,
            Qt::QueuedConnection);
    connect(source, &OLSource::volumeLevelChanged, this, &OLHub::saveSourcesStreamsToSettings,
            Qt::QueuedConnection);
    connect(source, &OLSource::isConnectedChanged, this, &OLHub::updateSourcesActivity,
            Qt::QueuedConnection);
    connect(source, &OLSource::isSilentSoundChanged, this, &OLHub::updateSourcesActivity,
            Qt::QueuedConnection);
    // While sources start, their progress decides too.
    connect(source, &OLSource::startPhaseChanged, this, &OLHub::updateSourcesActivity, Qt::QueuedConnection);
    connect(source, &OLSource::isActiveChanged, m_clientUser, &OLClientUser::sendPlayerState,
            Qt::QueuedConnection);
    connect(source, &OLSource::isConnectedChanged, m_clientUser, &OLClientUser::sendPlayerState,
            Qt::QueuedConnection);
    connect(source, &OLSource::isSilentSoundChanged, m_clientUser, &OLClientUser::sendPlayerState,
            Qt::QueuedConnection);
    // Each failure starts the delay again: a burst gives one restart.
    connect(source, &OLSource::deviceFailure, m_sourceRestartTimer, qOverload<>(&QTimer::start),
            Qt::QueuedConnection);
    return source;
}

// Nothing is played here: playback starts with the first login.
void OLHub::initSources()
{
    const QList<OLSource *> previous = m_sources->items();
    m_sources->clear();
    for (OLSource *source : previous)
        source->deleteLater();

    qsizetype leftOut = 0;
    const QList<Schema::StoredSource> stored = Schema::readSources(m_settings, leftOut);
    if (leftOut > 0)
        warnLeftOut(leftOut, "sources from config");
    for (const Schema::StoredSource &entry : stored) {
        const QUrl streamUrl(entry.streamUrl, QUrl::TolerantMode);
        if (!streamUrl.isValid()) {
            qWarning() << "Stream url" << CVUrl::forLog(entry.streamUrl) << "from config is not valid";
            continue;
        }
        m_sources->append(createSource(streamUrl, entry.volumeLevel));
    }
}

void OLHub::saveSourcesStreamsToSettings()
{
    QList<Schema::StoredSource> stored;
    for (const OLSource *source : m_sources->items())
        stored.append({source->streamUrl().toString(), source->volumeLevel()});
    Schema::writeSources(m_settings, stored);
}

// The source starts with the device's URL rather than an empty one, so
// that it is saved and reported with it before its player confirms it.
void OLHub::addNewRecordSource()
{
    if (m_recordDevices.isEmpty())
        return;
    if (m_sources->count() >= Schema::maxSources) {
        warnLeftOut(1, "recording source");
        return;
    }
    const QUrl streamUrl(m_recordDevices.at(0).toObject().value(StreamUrlMember).toString(),
                         QUrl::TolerantMode);
    OLSource *source = createSource(streamUrl, 1.0);
    qInfo() << "New source" << source->displayName() << "created";
    source->play(streamUrl);
    m_sources->append(source);
    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}

void OLHub::deleteSource(int sourceIndex)
{
    if (!isValidIndex(sourceIndex, "Delete source index"))
        return;
    OLSource *source = m_sources->get(sourceIndex);
    qInfo() << "Delete source" << source->displayName() << "at index" << sourceIndex;
    source->deleteLater();
    m_sources->remove(sourceIndex);
    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}

void OLHub::deleteAllSources()
{
    while (!m_sources->isEmpty())
        deleteSource(0);
}

void OLHub::moveSource(int indexFrom, int indexTo)
{
    if (!isValidIndex(indexFrom, "Move source index from"))
        return;
    if (!isValidIndex(indexTo, "Move source index to"))
        return;
    qInfo() << "Move source" << m_sources->get(indexFrom)->displayName() << "from" << indexFrom << "to"
            << indexTo;
    m_sources->move(indexFrom, indexTo);
    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}

// Nothing is saved here: the source's URL change does that.
void OLHub::play(int sourceIndex, QString streamUrl)
{
    if (!isValidIndex(sourceIndex, "Play source index from"))
        return;
    m_sources->get(sourceIndex)->play(QUrl(streamUrl, QUrl::TolerantMode));
}

void OLHub::restart(int sourceIndex)
{
    if (!isValidIndex(sourceIndex, "Restart source index from"))
        return;
    m_sources->get(sourceIndex)->restart();
}

// Every player lets go of the output before the engine re-opens it, on the
// device that CVBass::outputDevice names now. Logged out, the output is
// re-opened but nothing goes on air: the sources wait for the next login.
void OLHub::restartAllSources()
{
    const QList<OLSource *> sources = m_sources->items();
    for (OLSource *source : sources)
        source->stopSync();
    CVBass::free();
    CVBass::init();
    if (!m_clientUser || !m_clientUser->isLoggedIn())
        return;
    for (OLSource *source : sources)
        source->play();
}

void OLHub::stopAllSources()
{
    const QList<OLSource *> sources = m_sources->items();
    for (OLSource *source : sources)
        source->stop();
}

// ---------------------------------------------------------------------------
// Stream synchronisation and the choice of the heard source

// The new source hears of it before the old one does, so the output never
// goes without an active source.
void OLHub::updateSourcesActivity()
{
    const QList<OLSource *> sources = m_sources->items();
    QList<ActivityRule::SourceState> states;
    states.reserve(sources.size());
    for (const OLSource *source : sources)
        states.append({source->isConnected(), source->isSilentSound(), source->startPhase()});
    const int chosen = ActivityRule::choose(states);
    if (chosen < 0)
        return;
    sources.at(chosen)->setIsActive(true);
    for (int i = 0; i < sources.size(); ++i) {
        if (i != chosen)
            sources.at(i)->setIsActive(false);
    }
}

// Sources that stay keep their place and volume; new streams go to the end
// in the service's order. An empty list from the service never empties the
// source list.
void OLHub::updateSourcesFromClient()
{
    if (!m_clientUser || !m_clientUser->isLoggedIn() || m_clientUser->userId() < 1
        || m_clientUser->sid().isEmpty() || m_clientUser->streams().isEmpty())
        return;
    QStringList streamUrls;
    const QJsonArray streams = m_clientUser->streams();
    for (const QJsonValue &stream : streams)
        streamUrls.append(stream.toObject().value(StreamUrlMember).toString());
    QList<ReconciliationPlan::Source> current;
    for (const OLSource *source : m_sources->items())
        current.append({source->streamUrl(), source->isRecordDevice()});
    const ReconciliationPlan::Plan plan = ReconciliationPlan::make(
        current, streamUrls, m_clientUser->userId(), m_clientUser->sid(), Schema::maxSources);

    for (const ReconciliationPlan::Dropped &dropped : plan.dropped) {
        if (dropped.reason == ReconciliationPlan::Dropped::NotAStream)
            qWarning() << "Stream url" << CVUrl::forLog(dropped.text) << "from the server is not valid";
        else
            qDebug() << "Duplicate streamUrl from client user" << CVUrl::forLog(dropped.text) << "was skipped";
    }
    for (const ReconciliationPlan::Step &step : plan.steps)
        carryOut(step);
    if (plan.leftOut > 0)
        warnLeftOut(plan.leftOut, "streams from the server");

    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}

void OLHub::carryOut(const ReconciliationPlan::Step &step)
{
    using ReconciliationPlan::Step;
    switch (step.kind) {
    case Step::RemoveDuplicate:
        qDebug() << "Deleting a duplicate source" << m_sources->get(step.index)->displayName();
        deleteSource(step.index);
        break;
    case Step::Remove:
        qDebug() << "Deleting a source" << m_sources->get(step.index)->displayName()
                 << "that was not received from the server";
        deleteSource(step.index);
        break;
    case Step::Replay:
        // The player switches; streamUrl follows when it confirms.
        m_sources->get(step.index)->play(step.url);
        break;
    case Step::Add: {
        // Created with its URL, so that a run before the player confirms it
        // finds it and the file and reports carry it at once.
        OLSource *source = createSource(step.url, 1.0);
        source->play(step.url);
        qInfo() << "New source" << source->displayName() << "was received from the server";
        m_sources->append(source);
        break;
    }
    }
}
