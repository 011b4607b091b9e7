// The session with the Ondaline web service: login, logout, state reports
// and the version check.
#pragma once

#include "changerule.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

class OLHub;
class CVNetworkAccessManager;
class QNetworkReply;

class OLClientUser : public QObject
{
    Q_OBJECT
    Q_MOC_INCLUDE("cvnetworkaccessmanager.h")
    QML_ANONYMOUS
    Q_PROPERTY(CVNetworkAccessManager *nam READ nam NOTIFY namChanged)
    Q_PROPERTY(bool isProcessingPlayerRequest READ isProcessingPlayerRequest NOTIFY isProcessingPlayerRequestChanged)
    Q_PROPERTY(bool isLoggedIn READ isLoggedIn NOTIFY isLoggedInChanged)
    Q_PROPERTY(QString sid READ sid NOTIFY sidChanged)
    Q_PROPERTY(QString username READ username WRITE setUsername NOTIFY usernameChanged)
    Q_PROPERTY(int userId READ userId NOTIFY userIdChanged)
    Q_PROPERTY(QString city READ city NOTIFY cityChanged)
    Q_PROPERTY(QString stationName READ stationName NOTIFY stationNameChanged)
    Q_PROPERTY(QString stationLogoUrl READ stationLogoUrl NOTIFY stationLogoUrlChanged)
    Q_PROPERTY(QJsonArray streams READ streams NOTIFY streamsChanged)
    Q_PROPERTY(QString newVersion READ newVersion NOTIFY newVersionChanged)
    Q_PROPERTY(qlonglong newVersionCode READ newVersionCode NOTIFY newVersionCodeChanged)
    Q_PROPERTY(QString newVersionUrl READ newVersionUrl NOTIFY newVersionUrlChanged)

public:
    OLClientUser(OLHub *hub, QObject *parent = nullptr);
    ~OLClientUser() override;

    [[nodiscard]] CVNetworkAccessManager *nam() const { return m_nam; }
    [[nodiscard]] bool isProcessingPlayerRequest() const { return m_isProcessingPlayerRequest; }
    [[nodiscard]] bool isLoggedIn() const { return m_isLoggedIn; }
    [[nodiscard]] QString sid() const { return m_sid; }
    [[nodiscard]] QString username() const { return m_username; }
    [[nodiscard]] int userId() const { return m_userId; }
    [[nodiscard]] QString city() const { return m_city; }
    [[nodiscard]] QString stationName() const { return m_stationName; }
    [[nodiscard]] QString stationLogoUrl() const { return m_stationLogoUrl; }
    [[nodiscard]] QJsonArray streams() const { return m_streams; }
    [[nodiscard]] QString newVersion() const { return m_newVersion; }
    [[nodiscard]] qlonglong newVersionCode() const { return m_newVersionCode; }
    [[nodiscard]] QString newVersionUrl() const { return m_newVersionUrl; }

    // Base URL of the service, ONDALINE_SERVICE_URL unless a test set
    // another one before the client was created.
    [[nodiscard]] static QString serviceBaseUrl();
    static void setServiceBaseUrl(const QString &baseUrl);

signals:
    void namChanged(CVNetworkAccessManager *nam);
    void isProcessingPlayerRequestChanged(bool isProcessingPlayerRequest);
    void isLoggedInChanged(bool isLoggedIn);
    void sidChanged(QString sid);
    void usernameChanged(QString username);
    void userIdChanged(int userId);
    void cityChanged(QString city);
    void stationNameChanged(QString stationName);
    void stationLogoUrlChanged(QString stationLogoUrl);
    void streamsChanged(QJsonArray streams);
    void newVersionChanged(QString newVersion);
    void newVersionCodeChanged(qlonglong newVersionCode);
    void newVersionUrlChanged(QString newVersionUrl);
    void authError();

protected slots:
    bool updateNam(CVNetworkAccessManager *nam)
    {
        return ChangeRule::apply(this, m_nam, nam, &OLClientUser::namChanged);
    }
    bool updateIsProcessingPlayerRequest(bool isProcessingPlayerRequest)
    {
        return ChangeRule::apply(this, m_isProcessingPlayerRequest, isProcessingPlayerRequest, &OLClientUser::isProcessingPlayerRequestChanged);
    }
    bool updateIsLoggedIn(bool isLoggedIn)
    {
        return ChangeRule::apply(this, m_isLoggedIn, isLoggedIn, &OLClientUser::isLoggedInChanged);
    }
    bool updateSid(QString sid) { return ChangeRule::apply(this, m_sid, sid, &OLClientUser::sidChanged); }

public slots:
    bool setUsername(QString username)
    {
        return ChangeRule::apply(this, m_username, username, &OLClientUser::usernameChanged);
    }

protected slots:
    bool updateUserId(int userId)
    {
        return ChangeRule::apply(this, m_userId, userId, &OLClientUser::userIdChanged);
    }
    bool updateCity(QString city)
    {
        return ChangeRule::apply(this, m_city, city, &OLClientUser::cityChanged);
    }
    bool updateStationName(QString stationName)
    {
        return ChangeRule::apply(this, m_stationName, stationName, &OLClientUser::stationNameChanged);
    }
    bool updateStationLogoUrl(QString stationLogoUrl)
    {
        return ChangeRule::apply(this, m_stationLogoUrl, stationLogoUrl, &OLClientUser::stationLogoUrlChanged);
    }
    bool updateStreams(QJsonArray streams)
    {
        return ChangeRule::apply(this, m_streams, streams, &OLClientUser::streamsChanged);
    }
    bool updateNewVersion(QString newVersion)
    {
        return ChangeRule::apply(this, m_newVersion, newVersion, &OLClientUser::newVersionChanged);
    }
    bool updateNewVersionCode(qlonglong newVersionCode)
    {
        return ChangeRule::apply(this, m_newVersionCode, newVersionCode, &OLClientUser::newVersionCodeChanged);
    }
    bool updateNewVersionUrl(QString newVersionUrl)
    {
        return ChangeRule::apply(this, m_newVersionUrl, newVersionUrl, &OLClientUser::newVersionUrlChanged);
    }

public slots:
    void versionCheck();
    void login(QString username, QString password);
    void logout();
    void sendPlayerState();

private slots:
    void abortPlayerRequest();
    void playerRequest(QJsonObject body);
    void playerRequestFinished();
    void versionCheckFinished();

private:
    QNetworkReply *post(const QString &path, const QJsonObject &body);
    void applyStateReply(const QJsonObject &reply);
    void handleForbidden(bool wasReport);
    void handleFailure(QNetworkReply *reply, bool wasReport);
    void stopRetrying();
    void applyVersionOffer(const QJsonObject &reply);

    CVNetworkAccessManager *m_nam = nullptr;
    bool m_isProcessingPlayerRequest = false;
    bool m_isLoggedIn = false;
    QString m_sid;
    QString m_username;
    int m_userId = 0;
    QString m_city;
    QString m_stationName;
    QString m_stationLogoUrl;
    QJsonArray m_streams;
    QString m_newVersion;
    qlonglong m_newVersionCode = 0;
    QString m_newVersionUrl;

    QPointer<OLHub> m_hub;
    QTimer *m_stateTimer = nullptr;
    QTimer *m_retryTimer = nullptr;
    int m_retryDelayMs = 0;
    QPointer<QNetworkReply> m_playerReply;
    QPointer<QNetworkReply> m_versionReply;
};
