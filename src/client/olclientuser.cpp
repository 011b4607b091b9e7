// PLACEHOLDER: replaced by the client implementation.
#include "olclientuser.h"
#include "olhub.h"
#include "cvnetworkaccessmanager.h"
static QString s_baseUrl = QStringLiteral(ONDALINE_SERVICE_URL);
QString OLClientUser::serviceBaseUrl() { return s_baseUrl; }
void OLClientUser::setServiceBaseUrl(const QString &u) { s_baseUrl = u; }
OLClientUser::OLClientUser(OLHub *hub, QObject *parent) : QObject(parent), m_hub(hub)
{
    m_nam = new CVNetworkAccessManager(this);
}
OLClientUser::~OLClientUser() = default;
bool OLClientUser::updateNam(CVNetworkAccessManager *) { return false; }
bool OLClientUser::updateIsProcessingPlayerRequest(bool) { return false; }
bool OLClientUser::updateIsLoggedIn(bool) { return false; }
bool OLClientUser::updateSid(QString) { return false; }
bool OLClientUser::setUsername(QString) { return false; }
bool OLClientUser::updateUserId(int) { return false; }
bool OLClientUser::updateCity(QString) { return false; }
bool OLClientUser::updateStationName(QString) { return false; }
bool OLClientUser::updateStationLogoUrl(QString) { return false; }
bool OLClientUser::updateStreams(QJsonArray) { return false; }
bool OLClientUser::updateNewVersion(QString) { return false; }
bool OLClientUser::updateNewVersionCode(qlonglong) { return false; }
bool OLClientUser::updateNewVersionUrl(QString) { return false; }
void OLClientUser::versionCheck() {}
void OLClientUser::login(QString, QString) {}
void OLClientUser::logout() {}
void OLClientUser::sendPlayerState() {}
void OLClientUser::abortPlayerRequest() {}
void OLClientUser::playerRequest(QJsonObject) {}
void OLClientUser::playerRequestFinished() {}
void OLClientUser::versionCheckFinished() {}
