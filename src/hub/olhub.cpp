// PLACEHOLDER: replaced by the hub implementation.
#include "olhub.h"
#include "olclientuser.h"
#include "olsource.h"
OLHub::OLHub(QObject *parent)
    : QObject(parent), m_settings(QStringLiteral("ondaline.ini"), QSettings::IniFormat, this)
{
    m_clientUser = new OLClientUser(this, this);
    m_sources = new QQmlObjectListModel<OLSource>(this);
}
OLHub::~OLHub() = default;
QQmlObjectListModelBase *OLHub::sourcesModel() const { return m_sources; }
bool OLHub::updateClientUser(OLClientUser *) { return false; }
bool OLHub::setLogsStoreDays(int) { return false; }
bool OLHub::setLanguage(QString) { return false; }
bool OLHub::setShowKeepRunningDialog(bool) { return false; }
bool OLHub::updateOutputDevices(QStringList) { return false; }
bool OLHub::updateRecordDevices(QJsonArray) { return false; }
bool OLHub::setOutputDeviceIndex(int) { return false; }
bool OLHub::setSilenceDetectionLevelDb(double) { return false; }
bool OLHub::setSilenceDetectionStartMs(int) { return false; }
bool OLHub::setSilenceDetectionEndMs(int) { return false; }
void OLHub::cleanOldLogFiles() {}
void OLHub::updateOutputDevicesFromBass() {}
void OLHub::updateRecordDevicesFromBass() {}
void OLHub::handleOutputDeviceIndexChanged(int) {}
void OLHub::play(int, QString) {}
void OLHub::restart(int) {}
void OLHub::addNewRecordSource() {}
void OLHub::moveSource(int, int) {}
void OLHub::deleteSource(int) {}
void OLHub::saveSourcesStreamsToSettings() {}
void OLHub::updateSourcesActivity() {}
void OLHub::updateSourcesFromClient() {}
void OLHub::deleteAllSources() {}
void OLHub::initSources() {}
void OLHub::restartAllSources() {}
void OLHub::stopAllSources() {}
OLSource *OLHub::createSource(const QUrl &, double) { return nullptr; }
