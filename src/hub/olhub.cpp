// The hub: settings, device lists, the source list and the reactions to
// the session with the service.
#include "olhub.h"

#include <QDebug>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include "changerule.h"
#include "cvbass.h"
#include "cvdevices.h"
#include "buildidentity.h"
#include "logging.h"
#include "olclientuser.h"
#include "olsource.h"
#include "activityrule.h"
#include "reconciliationplan.h"
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

} // namespace

// Each stored value is applied before its persisting handler is connected,
// so reading the settings never writes them back.
OLHub::OLHub(QObject *parent)
    : QObject(parent)
    , m_settings(BuildIdentity::settingsFileName, QSettings::IniFormat, this)
{
    readGeneralSettings();
    updateClientUser(new OLClientUser(this, this));
    watchDevices();

    m_sources = new QQmlObjectListModel<OLSource>(this, QByteArray(), QByteArray());
    initSources();
    updateSourcesActivity();

    // The sources created above follow these through their notify signals.
    readSilenceSettings();
    followClientUser();
}

void OLHub::readGeneralSettings()
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
}

void OLHub::watchDevices()
{
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
}

void OLHub::readSilenceSettings()
{
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
}

void OLHub::followClientUser()
{
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

QVariantMap OLHub::settingRanges()
{
    const auto range = [](const auto &key) { return QVariantMap{{QStringLiteral("from"), key.min}, {QStringLiteral("to"), key.max}}; };
    return {{QLatin1String(Schema::logsStoreDays.name), range(Schema::logsStoreDays)},
            {QLatin1String(Schema::silenceDetectionLevelDb.name), range(Schema::silenceDetectionLevelDb)},
            {QLatin1String(Schema::silenceDetectionStartMs.name), range(Schema::silenceDetectionStartMs)},
            {QLatin1String(Schema::silenceDetectionEndMs.name), range(Schema::silenceDetectionEndMs)}};
}

QQmlObjectListModelBase *OLHub::sourcesModel() const
{
    return m_sources;
}

bool OLHub::updateClientUser(OLClientUser * clientUser)
{
    return ChangeRule::apply(this, m_clientUser, clientUser, &OLHub::clientUserChanged);
}

bool OLHub::setLogsStoreDays(int logsStoreDays)
{
    return ChangeRule::apply(this, m_logsStoreDays, logsStoreDays, &OLHub::logsStoreDaysChanged);
}

bool OLHub::setLanguage(QString language)
{
    return ChangeRule::apply(this, m_language, language, &OLHub::languageChanged);
}

bool OLHub::setShowKeepRunningDialog(bool showKeepRunningDialog)
{
    return ChangeRule::apply(this, m_showKeepRunningDialog, showKeepRunningDialog, &OLHub::showKeepRunningDialogChanged);
}

bool OLHub::updateOutputDevices(QStringList outputDevices)
{
    return ChangeRule::apply(this, m_outputDevices, outputDevices, &OLHub::outputDevicesChanged);
}

bool OLHub::updateRecordDevices(QJsonArray recordDevices)
{
    return ChangeRule::apply(this, m_recordDevices, recordDevices, &OLHub::recordDevicesChanged);
}

bool OLHub::setOutputDeviceIndex(int outputDeviceIndex)
{
    return ChangeRule::apply(this, m_outputDeviceIndex, outputDeviceIndex, &OLHub::outputDeviceIndexChanged);
}

bool OLHub::setSilenceDetectionLevelDb(double silenceDetectionLevelDb)
{
    return ChangeRule::apply(this, m_silenceDetectionLevelDb, silenceDetectionLevelDb, &OLHub::silenceDetectionLevelDbChanged);
}

bool OLHub::setSilenceDetectionStartMs(int silenceDetectionStartMs)
{
    return ChangeRule::apply(this, m_silenceDetectionStartMs, silenceDetectionStartMs, &OLHub::silenceDetectionStartMsChanged);
}

bool OLHub::setSilenceDetectionEndMs(int silenceDetectionEndMs)
{
    return ChangeRule::apply(this, m_silenceDetectionEndMs, silenceDetectionEndMs, &OLHub::silenceDetectionEndMsChanged);
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
    stopAllSources();
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

