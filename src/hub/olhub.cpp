// The hub: settings, device lists, the source list and the reactions to
// the session with the service.
#include "olhub.h"

#include <QDebug>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include "cvbass.h"
#include "cvdevices.h"
#include "buildidentity.h"
#include "logging.h"
#include "olclientuser.h"
#include "olsource.h"
#include "activityrule.h"
#include "settingsschema.h"
#include "cvurl.h"

namespace {
namespace Schema = SettingsSchema;

QString keyOf(const char *name)
{
    return QLatin1String(name);
}

constexpr int LogRetentionIntervalMs = 3600000;
constexpr int DevicePollIntervalMs = 1000;
constexpr int SourceRestartDelayMs = 5000;

const QString NameMember = QStringLiteral("name");
const QString StreamUrlMember = QStringLiteral("streamUrl");
const QString RecordScheme = QStringLiteral("record:");

// The same stream whatever the credentials it is played with.
bool isSameStream(const QUrl &a, const QUrl &b)
{
    return a.matches(b, QUrl::RemoveUserInfo);
}

bool isIdentical(const QUrl &a, const QUrl &b)
{
    return a.matches(b, QUrl::None);
}

void warnLeftOut(qsizetype count, const char *what)
{
    qWarning() << count << what << "left out: at most" << Schema::maxSources << "sources are played";
}
} // namespace

// Each stored value is applied before its persisting handler is connected,
// so reading the settings never writes them back.
OLHub::OLHub(QObject *parent)
    : QObject(parent)
    , m_settings(BuildIdentity::settingsFileName, QSettings::IniFormat, this)
{
    m_logsStoreDays = Schema::read(m_settings, Schema::logsStoreDays);
    m_logsStoreDaysRead = m_settings.value(keyOf(Schema::logsStoreDays.name)).toString();
    connect(this, &OLHub::logsStoreDaysChanged, this, [this](int logsStoreDays) {
        m_settings.setValue(keyOf(Schema::logsStoreDays.name), logsStoreDays);
        cleanOldLogFiles();
    });

    m_language = Schema::read(m_settings, Schema::language);
    // The translator stays as main chose it: a new language applies from the next start.
    connect(this, &OLHub::languageChanged, this, [this](const QString &language) {
        m_settings.setValue(keyOf(Schema::language.name), language);
        qInfo() << "Language changed to" << language;
    });

    m_logRetentionTimer = new QTimer(this);
    m_logRetentionTimer->setInterval(LogRetentionIntervalMs);
    connect(m_logRetentionTimer, &QTimer::timeout, this, &OLHub::cleanOldLogFiles);
    m_logRetentionTimer->start();
    cleanOldLogFiles();

    m_showKeepRunningDialog = Schema::read(m_settings, Schema::showKeepRunningDialog);
    connect(this, &OLHub::showKeepRunningDialogChanged, this, [this](bool showKeepRunningDialog) {
        m_settings.setValue(keyOf(Schema::showKeepRunningDialog.name), showKeepRunningDialog);
    });

    updateClientUser(new OLClientUser(this, this));

    m_devicePollTimer = new QTimer(this);
    m_devicePollTimer->setInterval(DevicePollIntervalMs);
    connect(m_devicePollTimer, &QTimer::timeout, this, &OLHub::updateOutputDevicesFromBass);
    connect(m_devicePollTimer, &QTimer::timeout, this, &OLHub::updateRecordDevicesFromBass);
    m_devicePollTimer->start();

    m_sourceRestartTimer = new QTimer(this);
    m_sourceRestartTimer->setSingleShot(true);
    m_sourceRestartTimer->setInterval(SourceRestartDelayMs);
    connect(m_sourceRestartTimer, &QTimer::timeout, this, &OLHub::restartAllSources);

    updateOutputDevicesFromBass();
    updateRecordDevicesFromBass();
    connect(this, &OLHub::outputDevicesChanged, this, [this] {
        qInfo() << "Output devices list was updated";
        handleOutputDeviceIndexChanged(m_outputDeviceIndex);
    });
    connect(this, &OLHub::recordDevicesChanged, this, [] {
        qInfo() << "Record devices list was updated";
    });

    // A device unplugged while the program was off: the default device
    // plays rather than none at all. Nothing plays yet, so nothing restarts.
    int storedIndex = Schema::read(m_settings, Schema::outputDeviceIndex);
    if (!isValidOutputDeviceIndex(storedIndex)) {
        qWarning() << "New output device index" << storedIndex << "is not valid";
        storedIndex = 0;
        m_settings.setValue(keyOf(Schema::outputDeviceIndex.name), storedIndex);
    }
    setOutputDeviceIndex(storedIndex);
    CVBass::outputDevice = m_outputDeviceIndex - 1;
    connect(this, &OLHub::outputDeviceIndexChanged, this, &OLHub::handleOutputDeviceIndexChanged);

    m_sources = new QQmlObjectListModel<OLSource>(this, QByteArray(), QByteArray());

    initSources();
    updateSourcesActivity();

    // The sources created above follow these through their notify signals.
    setSilenceDetectionLevelDb(Schema::read(m_settings, Schema::silenceDetectionLevelDb));
    connect(this, &OLHub::silenceDetectionLevelDbChanged, this, [this](double levelDb) {
        qInfo() << "Silence detection level changed to" << levelDb << "db";
        m_settings.setValue(keyOf(Schema::silenceDetectionLevelDb.name), levelDb);
    });
    setSilenceDetectionStartMs(Schema::read(m_settings, Schema::silenceDetectionStartMs));
    connect(this, &OLHub::silenceDetectionStartMsChanged, this, [this](int startMs) {
        qInfo() << "Silence detection interval change to" << startMs << "ms";
        m_settings.setValue(keyOf(Schema::silenceDetectionStartMs.name), startMs);
    });
    setSilenceDetectionEndMs(Schema::read(m_settings, Schema::silenceDetectionEndMs));
    connect(this, &OLHub::silenceDetectionEndMsChanged, this, [this](int endMs) {
        qInfo() << "Sound detection interval change to" << endMs << "ms";
        m_settings.setValue(keyOf(Schema::silenceDetectionEndMs.name), endMs);
    });

    // Connection order is call order: the login reaction runs before the
    // stream reconciliation.
    connect(m_clientUser, &OLClientUser::isLoggedInChanged, this, &OLHub::handleLoggedInChanged);
    connect(m_clientUser, &OLClientUser::isLoggedInChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::sidChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::userIdChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::streamsChanged, this, &OLHub::updateSourcesFromClient);
    // The list is the operator's work: typing in the login field keeps it,
    // only another operator's login replaces it.
    const QString ownerKey = keyOf(Schema::sourcesOwner.name);
    m_sourcesOwner = m_settings.contains(ownerKey) ? Schema::read(m_settings, Schema::sourcesOwner)
                                                   : m_clientUser->username();
    connect(m_clientUser, &OLClientUser::usernameChanged, this, [this] {
        if (m_clientUser->isLoggedIn())
            adoptSourcesOwner();
    });

    m_clientUser->versionCheck();
    // A stored session is re-validated at every start.
    if (!m_clientUser->sid().isEmpty())
        m_clientUser->sendPlayerState();
}

// Children go in a fixed order while the settings object (a member, gone
// before QObject deletes the children) still exists: the client user may
// still use it on its way out, and each source joins its player thread.
OLHub::~OLHub()
{
    m_devicePollTimer->stop();
    m_sourceRestartTimer->stop();
    m_logRetentionTimer->stop();
    if (m_clientUser) {
        disconnect(m_clientUser, nullptr, this, nullptr);
        delete m_clientUser;
        m_clientUser = nullptr;
    }
    const QList<OLSource *> sources = findChildren<OLSource *>(QString(), Qt::FindDirectChildrenOnly);
    delete m_sources;
    m_sources = nullptr;
    qDeleteAll(sources);
}

QQmlObjectListModelBase *OLHub::sourcesModel() const
{
    return m_sources;
}

bool OLHub::updateClientUser(OLClientUser *clientUser)
{
    if (m_clientUser == clientUser)
        return false;
    m_clientUser = clientUser;
    emit clientUserChanged(clientUser);
    return true;
}

bool OLHub::setLogsStoreDays(int logsStoreDays)
{
    if (m_logsStoreDays == logsStoreDays)
        return false;
    m_logsStoreDays = logsStoreDays;
    emit logsStoreDaysChanged(logsStoreDays);
    return true;
}

bool OLHub::setLanguage(QString language)
{
    if (m_language == language)
        return false;
    m_language = language;
    emit languageChanged(language);
    return true;
}

bool OLHub::setShowKeepRunningDialog(bool showKeepRunningDialog)
{
    if (m_showKeepRunningDialog == showKeepRunningDialog)
        return false;
    m_showKeepRunningDialog = showKeepRunningDialog;
    emit showKeepRunningDialogChanged(showKeepRunningDialog);
    return true;
}

bool OLHub::updateOutputDevices(QStringList outputDevices)
{
    if (m_outputDevices == outputDevices)
        return false;
    m_outputDevices = outputDevices;
    emit outputDevicesChanged(outputDevices);
    return true;
}

bool OLHub::updateRecordDevices(QJsonArray recordDevices)
{
    if (m_recordDevices == recordDevices)
        return false;
    m_recordDevices = recordDevices;
    emit recordDevicesChanged(recordDevices);
    return true;
}

bool OLHub::setOutputDeviceIndex(int outputDeviceIndex)
{
    if (m_outputDeviceIndex == outputDeviceIndex)
        return false;
    m_outputDeviceIndex = outputDeviceIndex;
    emit outputDeviceIndexChanged(outputDeviceIndex);
    return true;
}

bool OLHub::setSilenceDetectionLevelDb(double silenceDetectionLevelDb)
{
    if (m_silenceDetectionLevelDb == silenceDetectionLevelDb)
        return false;
    m_silenceDetectionLevelDb = silenceDetectionLevelDb;
    emit silenceDetectionLevelDbChanged(silenceDetectionLevelDb);
    return true;
}

bool OLHub::setSilenceDetectionStartMs(int silenceDetectionStartMs)
{
    if (m_silenceDetectionStartMs == silenceDetectionStartMs)
        return false;
    m_silenceDetectionStartMs = silenceDetectionStartMs;
    emit silenceDetectionStartMsChanged(silenceDetectionStartMs);
    return true;
}

bool OLHub::setSilenceDetectionEndMs(int silenceDetectionEndMs)
{
    if (m_silenceDetectionEndMs == silenceDetectionEndMs)
        return false;
    m_silenceDetectionEndMs = silenceDetectionEndMs;
    emit silenceDetectionEndMsChanged(silenceDetectionEndMs);
    return true;
}

// The file may have been edited since start: a different stored value is
// applied first, and its handler comes back here with the two equal. A
// text already read is not read (and warned about) again every hour.
void OLHub::cleanOldLogFiles()
{
    const QString key = keyOf(Schema::logsStoreDays.name);
    const QString stored = m_settings.value(key).toString();
    if (m_settings.contains(key) && stored != m_logsStoreDaysRead) {
        m_logsStoreDaysRead = stored;
        const int storeDays = Schema::read(m_settings, Schema::logsStoreDays);
        if (storeDays != m_logsStoreDays) {
            setLogsStoreDays(storeDays);
            return;
        }
    }
    // Never today's file, whatever was set through the interface.
    removeOldLogFiles(std::max(m_logsStoreDays, Schema::logsStoreDays.min));
}

void OLHub::adoptSourcesOwner()
{
    const QString username = m_clientUser->username();
    if (username == m_sourcesOwner)
        return;
    if (!m_sourcesOwner.isEmpty())
        deleteAllSources();
    m_sourcesOwner = username;
    m_settings.setValue(keyOf(Schema::sourcesOwner.name), username);
}

void OLHub::handleLoggedInChanged(bool isLoggedIn)
{
    if (isLoggedIn) {
        adoptSourcesOwner();
        qDebug() << "User logged in, restart all sources";
        restartAllSources();
        return;
    }
    // The sources stay listed, ready for the next login.
    qDebug() << "User logged out, stop all sources";
    for (OLSource *source : m_sources->items())
        source->stop();
}

void OLHub::setSourceRestartIntervalMs(int intervalMs)
{
    m_sourceRestartTimer->setInterval(intervalMs);
}

// ---------------------------------------------------------------------------
// Audio device lists

void OLHub::updateOutputDevicesFromBass()
{
    QStringList devices{tr("Default device")};
    BASS_DEVICEINFO info;
    for (quint32 device = 0; BASS_GetDeviceInfo(device, &info); ++device)
        devices.append(QString::fromLocal8Bit(info.name));
    updateOutputDevices(devices);
}

// Unusable devices still count in the numbering, so "record:" numbers may
// have gaps.
void OLHub::updateRecordDevicesFromBass()
{
    QJsonArray devices;
    BASS_DEVICEINFO info;
    for (quint32 device = 0; BASS_RecordGetDeviceInfo(device, &info); ++device) {
        if (!(info.flags & BASS_DEVICE_ENABLED) || (info.flags & BASS_DEVICE_LOOPBACK))
            continue;
        devices.append(QJsonObject{{NameMember, QString::fromLocal8Bit(info.name)},
                                   {StreamUrlMember, RecordScheme + QString::number(device)}});
    }
    updateRecordDevices(devices);
}

// Positions name devices: a list change may leave the index on another
// device, and nothing remaps it. Only a new device number restarts.
bool OLHub::isValidOutputDeviceIndex(int outputDeviceIndex) const
{
    return outputDeviceIndex == 0 || (outputDeviceIndex > 0 && outputDeviceIndex < m_outputDevices.size());
}

// A chosen device that is gone falls back to the default device: the next
// entry is "No sound", dead air for a station.
void OLHub::handleOutputDeviceIndexChanged(int outputDeviceIndex)
{
    if (!isValidOutputDeviceIndex(outputDeviceIndex)) {
        qWarning() << "New output device index" << outputDeviceIndex << "is not valid";
        // The setter's notice brings the fallback back here as a valid index.
        setOutputDeviceIndex(0);
        return;
    }
    qInfo() << "Output device changed to" << m_outputDevices.value(outputDeviceIndex) << "index"
            << outputDeviceIndex;
    m_settings.setValue(keyOf(Schema::outputDeviceIndex.name), outputDeviceIndex);
    const int device = outputDeviceIndex - 1;
    if (device == CVBass::outputDevice)
        return;
    CVBass::outputDevice = device;
    restartAllSources();
}

// ---------------------------------------------------------------------------
// Source list management

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

    // The entries present are read, not the size the file claims: a size
    // of two billion must not keep the program from starting. Entries past
    // a sane size are stale ones an older build left behind.
    m_settings.beginGroup(keyOf(Schema::sourcesArray));
    bool hasSize = false;
    const QString sizeText = m_settings.value(QStringLiteral("size")).toString();
    const int size = sizeText.toInt(&hasSize);
    QList<int> indexes;
    const QStringList groups = m_settings.childGroups();
    for (const QString &group : groups) {
        bool isNumber = false;
        const int index = group.toInt(&isNumber);
        if (isNumber && index > 0 && (!hasSize || index <= size))
            indexes.append(index);
    }
    std::sort(indexes.begin(), indexes.end());
    const bool isListed = m_settings.contains(QStringLiteral("size")) || !groups.isEmpty();
    if (isListed && (!hasSize || size < 0 || size > indexes.size()))
        qWarning() << "Sources size" << sizeText << "from config is not valid, reading the" << indexes.size()
                   << "entries present";
    if (indexes.size() > Schema::maxSources) {
        warnLeftOut(indexes.size() - Schema::maxSources, "sources from config");
        indexes.resize(Schema::maxSources);
    }
    for (const int index : std::as_const(indexes)) {
        m_settings.beginGroup(QString::number(index));
        const double volumeLevel = Schema::read(m_settings, Schema::volumeLevel);
        const QString text = Schema::read(m_settings, Schema::streamUrl);
        m_settings.endGroup();
        const QUrl streamUrl(text, QUrl::TolerantMode);
        if (!streamUrl.isValid()) {
            qWarning() << "Stream url" << CVUrl::forLog(text) << "from config is not valid";
            continue;
        }
        m_sources->append(createSource(streamUrl, volumeLevel));
    }
    m_settings.endGroup();
}

// The group is written afresh: entries beyond the new size (a deleted
// source's URL carries the session id) must not stay in the file.
void OLHub::saveSourcesStreamsToSettings()
{
    const QList<OLSource *> sources = m_sources->items();
    const QString array = keyOf(Schema::sourcesArray);
    m_settings.remove(array);
    m_settings.beginWriteArray(array, int(sources.size()));
    for (int i = 0; i < sources.size(); ++i) {
        m_settings.setArrayIndex(i);
        m_settings.setValue(keyOf(Schema::streamUrl.name), sources.at(i)->streamUrl().toString());
        m_settings.setValue(keyOf(Schema::volumeLevel.name), sources.at(i)->volumeLevel());
    }
    m_settings.endArray();
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
    if (sourceIndex < 0 || sourceIndex >= m_sources->count()) {
        qWarning() << "Delete source index" << sourceIndex << "is not valid";
        return;
    }
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
    const int count = m_sources->count();
    if (indexFrom < 0 || indexFrom >= count) {
        qWarning() << "Move source index from" << indexFrom << "is not valid";
        return;
    }
    if (indexTo < 0 || indexTo >= count) {
        qWarning() << "Move source index to" << indexTo << "is not valid";
        return;
    }
    qInfo() << "Move source" << m_sources->get(indexFrom)->displayName() << "from" << indexFrom << "to"
            << indexTo;
    m_sources->move(indexFrom, indexTo);
    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}

// Nothing is saved here: the source's URL change does that.
void OLHub::play(int sourceIndex, QString streamUrl)
{
    if (sourceIndex < 0 || sourceIndex >= m_sources->count()) {
        qWarning() << "Play source index from" << sourceIndex << "is not valid";
        return;
    }
    m_sources->get(sourceIndex)->play(QUrl(streamUrl, QUrl::TolerantMode));
}

void OLHub::restart(int sourceIndex)
{
    if (sourceIndex < 0 || sourceIndex >= m_sources->count()) {
        qWarning() << "Restart source index from" << sourceIndex << "is not valid";
        return;
    }
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
    const QString userName = QString::number(m_clientUser->userId());
    const QString password = m_clientUser->sid();

    QList<QUrl> serverUrls;
    const QJsonArray streams = m_clientUser->streams();
    for (const QJsonValue &stream : streams) {
        const QString text = stream.toObject().value(StreamUrlMember).toString();
        QUrl url(text, QUrl::TolerantMode);
        // The service names streams, never a device of this machine.
        if (url.scheme() == QLatin1String("record")) {
            qWarning() << "Stream url" << CVUrl::forLog(text) << "from the server is not valid";
            continue;
        }
        url.setUserName(userName, QUrl::DecodedMode);
        url.setPassword(password, QUrl::DecodedMode);
        const bool isDuplicate = std::any_of(serverUrls.cbegin(), serverUrls.cend(),
                                             [&url](const QUrl &known) { return isSameStream(known, url); });
        if (isDuplicate) {
            qDebug() << "Duplicate streamUrl from client user" << CVUrl::forLog(url) << "was skipped";
            continue;
        }
        serverUrls.append(url);
    }

    // Of several sources on one stream, the last one stays.
    int i = 0;
    while (i < m_sources->count() - 1) {
        OLSource *source = m_sources->get(i);
        bool hasLaterTwin = false;
        for (int j = i + 1; j < m_sources->count() && !hasLaterTwin; ++j)
            hasLaterTwin = isSameStream(m_sources->get(j)->streamUrl(), source->streamUrl());
        if (!hasLaterTwin) {
            ++i;
            continue;
        }
        qDebug() << "Deleting a duplicate source" << source->displayName();
        deleteSource(i);
    }

    i = 0;
    while (i < m_sources->count()) {
        OLSource *source = m_sources->get(i);
        const auto match = std::find_if(serverUrls.cbegin(), serverUrls.cend(), [source](const QUrl &url) {
            return isSameStream(url, source->streamUrl());
        });
        if (match != serverUrls.cend()) {
            // New credentials: the player switches, streamUrl follows later.
            if (!isIdentical(*match, source->streamUrl()))
                source->play(*match);
            ++i;
        } else if (source->isRecordDevice()) {
            ++i;
        } else {
            qDebug() << "Deleting a source" << source->displayName() << "that was not received from the server";
            deleteSource(i);
        }
    }

    qsizetype leftOut = 0;
    for (const QUrl &url : std::as_const(serverUrls)) {
        const QList<OLSource *> &sources = m_sources->items();
        const bool isKnown = std::any_of(sources.cbegin(), sources.cend(), [&url](const OLSource *source) {
            return isSameStream(source->streamUrl(), url);
        });
        if (isKnown)
            continue;
        if (m_sources->count() >= Schema::maxSources) {
            ++leftOut;
            continue;
        }
        // Created with its URL, so that a run before the player confirms it
        // finds it and the file and reports carry it at once.
        OLSource *source = createSource(url, 1.0);
        source->play(url);
        qInfo() << "New source" << source->displayName() << "was received from the server";
        m_sources->append(source);
    }
    if (leftOut > 0)
        warnLeftOut(leftOut, "streams from the server");

    saveSourcesStreamsToSettings();
    updateSourcesActivity();
}
