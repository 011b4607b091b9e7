// The hub: settings, device lists, the source list and the reactions to
// the session with the service.
#include "olhub.h"

#include <QDebug>
#include <QTimer>

#include "cvbass.h"
#include "logging.h"
#include "olclientuser.h"
#include "olsource.h"

namespace {
const QString LogsStoreDaysKey = QStringLiteral("logsStoreDays");
const QString LanguageKey = QStringLiteral("language");
const QString ShowKeepRunningDialogKey = QStringLiteral("showKeepRunningDialog");
const QString OutputDeviceIndexKey = QStringLiteral("outputDeviceIndex");
const QString SilenceDetectionLevelDbKey = QStringLiteral("silenceDetectionLevelDb");
const QString SilenceDetectionStartMsKey = QStringLiteral("silenceDetectionStartMs");
const QString SilenceDetectionEndMsKey = QStringLiteral("silenceDetectionEndMs");

constexpr int LogRetentionIntervalMs = 3600000;
constexpr int DevicePollIntervalMs = 1000;
constexpr int SourceRestartDelayMs = 5000;
} // namespace

// Each stored value is applied before its persisting handler is connected,
// so reading the settings never writes them back.
OLHub::OLHub(QObject *parent)
    : QObject(parent)
    , m_settings(QStringLiteral("ondaline.ini"), QSettings::IniFormat, this)
{
    m_logsStoreDays = m_settings.value(LogsStoreDaysKey, 30).toInt();
    connect(this, &OLHub::logsStoreDaysChanged, this, [this](int logsStoreDays) {
        m_settings.setValue(LogsStoreDaysKey, logsStoreDays);
        cleanOldLogFiles();
    });

    m_language = m_settings.value(LanguageKey, QStringLiteral("system")).toString();
    // The translator stays as main chose it: a new language applies from the next start.
    connect(this, &OLHub::languageChanged, this, [this](const QString &language) {
        m_settings.setValue(LanguageKey, language);
        qInfo() << "Language changed to" << language;
    });

    m_logRetentionTimer = new QTimer(this);
    m_logRetentionTimer->setInterval(LogRetentionIntervalMs);
    connect(m_logRetentionTimer, &QTimer::timeout, this, &OLHub::cleanOldLogFiles);
    m_logRetentionTimer->start();
    cleanOldLogFiles();

    m_showKeepRunningDialog = m_settings.value(ShowKeepRunningDialogKey, true).toBool();
    connect(this, &OLHub::showKeepRunningDialogChanged, this, [this](bool showKeepRunningDialog) {
        m_settings.setValue(ShowKeepRunningDialogKey, showKeepRunningDialog);
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

    // The stored index is not validated here; the next change of the list
    // or of the index does that.
    setOutputDeviceIndex(m_settings.value(OutputDeviceIndexKey, 0).toInt());
    CVBass::outputDevice = m_outputDeviceIndex - 1;
    connect(this, &OLHub::outputDeviceIndexChanged, this, &OLHub::handleOutputDeviceIndexChanged);

    m_sources = new QQmlObjectListModel<OLSource>(this, QByteArray(), QByteArray());

    initSources();
    updateSourcesActivity();

    // The sources created above follow these through their notify signals.
    setSilenceDetectionLevelDb(m_settings.value(SilenceDetectionLevelDbKey, -50.0).toDouble());
    connect(this, &OLHub::silenceDetectionLevelDbChanged, this, [this](double levelDb) {
        qInfo() << "Silence detection level changed to" << levelDb << "db";
        m_settings.setValue(SilenceDetectionLevelDbKey, levelDb);
    });
    setSilenceDetectionStartMs(m_settings.value(SilenceDetectionStartMsKey, 5000).toInt());
    connect(this, &OLHub::silenceDetectionStartMsChanged, this, [this](int startMs) {
        qInfo() << "Silence detection interval change to" << startMs << "ms";
        m_settings.setValue(SilenceDetectionStartMsKey, startMs);
    });
    setSilenceDetectionEndMs(m_settings.value(SilenceDetectionEndMsKey, 5000).toInt());
    connect(this, &OLHub::silenceDetectionEndMsChanged, this, [this](int endMs) {
        qInfo() << "Sound detection interval change to" << endMs << "ms";
        m_settings.setValue(SilenceDetectionEndMsKey, endMs);
    });

    // Connection order is call order: the login reaction runs before the
    // stream reconciliation.
    connect(m_clientUser, &OLClientUser::isLoggedInChanged, this, &OLHub::handleLoggedInChanged);
    connect(m_clientUser, &OLClientUser::isLoggedInChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::sidChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::userIdChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::streamsChanged, this, &OLHub::updateSourcesFromClient);
    connect(m_clientUser, &OLClientUser::usernameChanged, this, &OLHub::deleteAllSources);

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
// applied first, and its handler comes back here with the two equal.
void OLHub::cleanOldLogFiles()
{
    const int storeDays = m_settings.value(LogsStoreDaysKey, m_logsStoreDays).toInt();
    if (storeDays != m_logsStoreDays) {
        setLogsStoreDays(storeDays);
        return;
    }
    removeOldLogFiles(storeDays);
}

void OLHub::handleLoggedInChanged(bool isLoggedIn)
{
    if (isLoggedIn) {
        qDebug() << "User logged in, restart all sources";
        restartAllSources();
        return;
    }
    // The sources stay listed, ready for the next login.
    qDebug() << "User logged out, stop all sources";
    for (OLSource *source : m_sources->items())
        source->stop();
}

// ---------------------------------------------------------------------------
// PENDING (audio device lists): enumeration, the output device choice and
// its restart are not written yet. Each stub below keeps its signature and
// its place in the hub's wiring.

void OLHub::updateOutputDevicesFromBass()
{
    // PENDING (audio device lists)
}

void OLHub::updateRecordDevicesFromBass()
{
    // PENDING (audio device lists)
}

void OLHub::handleOutputDeviceIndexChanged(int outputDeviceIndex)
{
    // PENDING (audio device lists)
    Q_UNUSED(outputDeviceIndex)
}

// ---------------------------------------------------------------------------
// PENDING (source list management): creating, loading, saving and the
// operations on the source list are not written yet.

void OLHub::play(int sourceIndex, QString streamUrl)
{
    // PENDING (source list management)
    Q_UNUSED(sourceIndex)
    Q_UNUSED(streamUrl)
}

void OLHub::restart(int sourceIndex)
{
    // PENDING (source list management)
    Q_UNUSED(sourceIndex)
}

void OLHub::addNewRecordSource()
{
    // PENDING (source list management)
}

void OLHub::moveSource(int indexFrom, int indexTo)
{
    // PENDING (source list management)
    Q_UNUSED(indexFrom)
    Q_UNUSED(indexTo)
}

void OLHub::deleteSource(int sourceIndex)
{
    // PENDING (source list management)
    Q_UNUSED(sourceIndex)
}

void OLHub::saveSourcesStreamsToSettings()
{
    // PENDING (source list management)
}

void OLHub::deleteAllSources()
{
    // PENDING (source list management)
}

void OLHub::initSources()
{
    // PENDING (source list management)
}

void OLHub::restartAllSources()
{
    // PENDING (source list management)
}

void OLHub::stopAllSources()
{
    // PENDING (source list management)
}

OLSource *OLHub::createSource(const QUrl &streamUrl, double volumeLevel)
{
    // PENDING (source list management)
    Q_UNUSED(streamUrl)
    Q_UNUSED(volumeLevel)
    return nullptr;
}

// ---------------------------------------------------------------------------
// PENDING (stream synchronisation): reconciling with the service's stream
// list and choosing the active source are not written yet.

void OLHub::updateSourcesActivity()
{
    // PENDING (stream synchronisation)
}

void OLHub::updateSourcesFromClient()
{
    // PENDING (stream synchronisation)
}
