// The session with the Ondaline web service: login, logout, state reports
// and the version check.
#include "olclientuser.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QUrl>
#include <cmath>

#include "buildidentity.h"
#include "cvnetworkaccessmanager.h"
#include "cvurl.h"
#include "olhub.h"
#include "olsource.h"
#include "settingsschema.h"
#include "statereply.h"

namespace {
constexpr int stateIntervalMs = 60000;
constexpr int requestTimeoutMs = 10000;
constexpr int HttpForbidden = 403;

const QString statePath = QStringLiteral("/api/player/state");
const QString logoutPath = QStringLiteral("/api/player/logout");
const QString versionPath = QStringLiteral("/api/player/version");
const QString stationLogoPath = QStringLiteral("/stationFormat/");
const QString playerBuildPath = QStringLiteral("/playerBuild/");

const char *const tooLargeProperty = "ondalineTooLarge";
const char *const reportProperty = "ondalineReport";

const QString sidKey = QLatin1String(SettingsSchema::sid.name);
const QString usernameKey = QLatin1String(SettingsSchema::username.name);

// Function-local so that a setter running during static initialisation
// (the end-to-end build sets its local service this way) is never undone.
QString &serviceBaseUrlStorage()
{
    static QString url = QStringLiteral(ONDALINE_SERVICE_URL);
    return url;
}

QUrl endpoint(const QString &path)
{
    return QUrl(OLClientUser::serviceBaseUrl() + path, QUrl::TolerantMode);
}

QJsonValue jsonNumber(double value)
{
    // JSON has no infinities: a -inf level goes out as null.
    return std::isfinite(value) ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
}

QString newVersionUrlFor(qlonglong code, const QString &fileName)
{
    if (fileName.isEmpty() || code <= BuildIdentity::versionCode)
        return {};
    return OLClientUser::serviceBaseUrl() + playerBuildPath + fileName;
}
} // namespace

QString OLClientUser::serviceBaseUrl()
{
    return serviceBaseUrlStorage();
}

void OLClientUser::setServiceBaseUrl(const QString &baseUrl)
{
    QString url = baseUrl;
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    serviceBaseUrlStorage() = url;
}

OLClientUser::OLClientUser(OLHub *hub, QObject *parent)
    : QObject(parent)
    , m_hub(hub)
{
    auto *nam = new CVNetworkAccessManager(this);
    nam->setReferer(QCoreApplication::organizationDomain());
    nam->setTimeoutMs(requestTimeoutMs);
    updateNam(nam);

    updateIsProcessingPlayerRequest(false);
    updateIsLoggedIn(false);
    updateUserId(0);
    updateNewVersionCode(0);

    // Restored values are applied before the persisting handlers exist, so
    // reading the settings never writes them back. Written at once: a crash
    // must not lose a login.
    const auto persist = [this](const QString &key) {
        return [this, key](const QString &value) {
            if (!m_hub)
                return;
            m_hub->settings()->setValue(key, value);
            m_hub->settings()->sync();
        };
    };
    if (m_hub) {
        updateSid(SettingsSchema::read(*m_hub->settings(), SettingsSchema::sid));
        setUsername(SettingsSchema::read(*m_hub->settings(), SettingsSchema::username));
    }
    connect(this, &OLClientUser::sidChanged, this, persist(sidKey));
    connect(this, &OLClientUser::usernameChanged, this, persist(usernameKey));

    m_stateTimer = new QTimer(this);
    m_stateTimer->setSingleShot(false);
    m_stateTimer->setInterval(stateIntervalMs);
    connect(m_stateTimer, &QTimer::timeout, this, &OLClientUser::sendPlayerState);
    m_stateTimer->start();

    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &OLClientUser::sendPlayerState);
}

OLClientUser::~OLClientUser()
{
    // Replies are children of the manager; make sure none of them calls
    // back into a half-destroyed client.
    if (m_playerReply)
        m_playerReply->disconnect(this);
    if (m_versionReply)
        m_versionReply->disconnect(this);
}

QNetworkReply *OLClientUser::post(const QString &path, const QJsonObject &body)
{
    QNetworkRequest request(endpoint(path));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = m_nam->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    // Refused unread: a reply this large is no answer of the service's.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if ((received > StateReply::maxBytes || total > StateReply::maxBytes) && reply->isRunning()) {
            reply->setProperty(tooLargeProperty, true);
            reply->abort();
        }
    });
    return reply;
}

void OLClientUser::versionCheck()
{
    QJsonObject body;
    body.insert(QStringLiteral("version"), BuildIdentity::version);
    body.insert(QStringLiteral("versionCode"), BuildIdentity::versionCode);

    // Left connected on purpose: the handler runs for the aborted reply,
    // finds it failed and takes nothing from it.
    if (m_versionReply && m_versionReply->isRunning()) {
        m_versionReply->abort();
        m_versionReply->deleteLater();
    }
    m_versionReply = nullptr;

    m_versionReply = post(versionPath, body);
    connect(m_versionReply, &QNetworkReply::finished, this, &OLClientUser::versionCheckFinished);
}

void OLClientUser::login(QString username, QString password)
{
    username = username.trimmed();
    password = password.trimmed();
    if (username.isEmpty())
        return;
    if (password.isEmpty()) {
        // Re-validate the stored session; the name typed is not sent.
        if (!m_sid.isEmpty())
            sendPlayerState();
        return;
    }
    QJsonObject body;
    body.insert(QStringLiteral("user"), username);
    body.insert(QStringLiteral("pass"), password);
    playerRequest(body);
}

void OLClientUser::logout()
{
    abortPlayerRequest();
    stopRetrying();

    QJsonObject body;
    body.insert(QStringLiteral("sid"), m_sid);
    // Nobody waits for the answer: the local session ends regardless.
    QNetworkReply *reply = post(logoutPath, body);
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);

    updateSid(QString());
    updateUserId(0);
    updateCity(QString());
    updateStationName(QString());
    updateStationLogoUrl(QString());
    updateIsLoggedIn(false);
}

void OLClientUser::sendPlayerState()
{
    if (!m_hub || !m_hub->sources() || m_sid.isEmpty())
        return;

    QQmlObjectListModel<OLSource> *sources = m_hub->sources();
    QJsonArray sourcesInfo;
    for (int i = 0; i < sources->count(); ++i) {
        const OLSource *source = sources->get(i);
        if (!source)
            continue;
        QJsonObject info;
        info.insert(QStringLiteral("streamUrl"),
                    CVUrl::forLog(source->streamUrl()));
        info.insert(QStringLiteral("isActive"), source->isActive());
        info.insert(QStringLiteral("volumeLevel"), jsonNumber(source->volumeLevel()));
        info.insert(QStringLiteral("activityDurationMs"), source->activityDurationMs());
        info.insert(QStringLiteral("isRecordDevice"), source->isRecordDevice());
        info.insert(QStringLiteral("isPlaying"), source->isPlaying());
        info.insert(QStringLiteral("isStalled"), source->isStalled());
        info.insert(QStringLiteral("isConnected"), source->isConnected());
        info.insert(QStringLiteral("connectionDurationMs"), source->connectionDurationMs());
        info.insert(QStringLiteral("level"), jsonNumber(source->level()));
        info.insert(QStringLiteral("levelDb"), jsonNumber(source->levelDb()));
        info.insert(QStringLiteral("isSilentSound"), source->isSilentSound());
        info.insert(QStringLiteral("soundDurationMs"), source->soundDurationMs());
        info.insert(QStringLiteral("isSilentSoundByLevel"), source->isSilentSoundByLevel());
        info.insert(QStringLiteral("soundByLevelDurationMs"), source->soundByLevelDurationMs());
        sourcesInfo.append(info);
    }

    QJsonObject body;
    body.insert(QStringLiteral("sid"), m_sid);
    body.insert(QStringLiteral("sourcesInfo"), sourcesInfo);
    playerRequest(body);
    m_playerReply->setProperty(reportProperty, true);
}

void OLClientUser::abortPlayerRequest()
{
    if (m_playerReply) {
        // Its completion must never be handled, whatever state it is in.
        m_playerReply->disconnect(this);
        if (m_playerReply->isRunning())
            m_playerReply->abort();
        m_playerReply->deleteLater();
    }
    m_playerReply = nullptr;
    updateIsProcessingPlayerRequest(false);
}

void OLClientUser::playerRequest(QJsonObject body)
{
    body.insert(QStringLiteral("version"), BuildIdentity::version);
    body.insert(QStringLiteral("versionCode"), BuildIdentity::versionCode);
    body.insert(QStringLiteral("updatePeriodMs"), stateIntervalMs);

    abortPlayerRequest();

    m_playerReply = post(statePath, body);
    connect(m_playerReply, &QNetworkReply::finished, this, &OLClientUser::playerRequestFinished);
    updateIsProcessingPlayerRequest(true);
}

void OLClientUser::playerRequestFinished()
{
    if (!m_hub)
        return;

    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != m_playerReply) {
        // A stale reply: dispose of it, and leave the flag alone while
        // another request is still in flight.
        if (reply)
            reply->deleteLater();
        if (!m_playerReply)
            updateIsProcessingPlayerRequest(false);
        return;
    }
    m_playerReply = nullptr;
    reply->deleteLater();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool wasReport = reply->property(reportProperty).toBool();
    if (status.isValid() && status.toInt() == HttpForbidden) {
        handleForbidden(wasReport);
    } else if (reply->property(tooLargeProperty).toBool()) {
        stopRetrying();
        qWarning() << "Ondaline server reply ignored: it is larger than" << StateReply::maxBytes << "bytes";
    } else if (reply->error() != QNetworkReply::NoError) {
        handleFailure(reply, wasReport);
    } else {
        stopRetrying();
        QJsonObject object;
        const QString problem = StateReply::check(reply->read(StateReply::maxBytes + 1), &object);
        if (problem.isEmpty())
            applyStateReply(object);
        else
            qWarning().noquote() << "Ondaline server reply ignored: it" << problem;
    }

    // A handler of the signals above may already have sent the next
    // request; its flag must stay up.
    if (!m_playerReply)
        updateIsProcessingPlayerRequest(false);
}

void OLClientUser::handleForbidden(bool wasReport)
{
    stopRetrying();
    if (m_isLoggedIn) {
        qWarning() << "Ondaline server replied forbidden, logout";
        logout();
        return;
    }
    qWarning() << "Ondaline server replied forbidden, auth error";
    // A refused stored session is forgotten at once: sent again every
    // minute it would only be refused again, and Login without a password
    // must ask for one.
    if (wasReport)
        updateSid(QString());
    emit authError();
}

void OLClientUser::handleFailure(QNetworkReply *reply, bool wasReport)
{
    qWarning() << "Error Ondaline send player state request:" << CVUrl::forLog(reply->url())
               << CVNetworkAccessManager::errorString(reply) << "Code:" << reply->error();
    // A stored session that could not be checked (the service down while
    // the PC started) is tried again soon, not a minute later.
    if (wasReport && !m_isLoggedIn && !m_sid.isEmpty()) {
        m_retryDelayMs = StateReply::nextRetryDelayMs(m_retryDelayMs);
        m_retryTimer->start(m_retryDelayMs);
    }
    if (!m_isLoggedIn)
        emit authError();
}

void OLClientUser::stopRetrying()
{
    m_retryTimer->stop();
    m_retryDelayMs = 0;
}

void OLClientUser::applyStateReply(const QJsonObject &reply)
{
    // The order is part of the contract with the hub: session and identity
    // are final before isLoggedIn, and isLoggedIn before the stream list.
    updateSid(reply.value(QStringLiteral("sid")).toString());
    setUsername(reply.value(QStringLiteral("username")).toString());
    updateUserId(reply.value(QStringLiteral("userId")).toInt());
    updateCity(reply.value(QStringLiteral("city")).toString());
    updateStationName(reply.value(QStringLiteral("stationName")).toString());
    updateStationLogoUrl(serviceBaseUrl() + stationLogoPath
                         + reply.value(QStringLiteral("stationLogoFilename")).toString());
    updateIsLoggedIn(m_userId > 0);
    updateStreams(reply.value(QStringLiteral("streams")).toArray());
    applyVersionOffer(reply);
}

void OLClientUser::applyVersionOffer(const QJsonObject &reply)
{
    updateNewVersion(reply.value(QStringLiteral("newVersion")).toString());
    updateNewVersionCode(reply.value(QStringLiteral("newVersionCode")).toInteger());
    updateNewVersionUrl(newVersionUrlFor(
        m_newVersionCode, reply.value(QStringLiteral("newVersionFilename")).toString()));
}

void OLClientUser::versionCheckFinished()
{
    if (!m_hub || !sender() || sender() != m_versionReply)
        return;
    m_versionReply->deleteLater();
    if (m_versionReply->property(tooLargeProperty).toBool()) {
        qWarning() << "Ondaline version reply ignored: it is larger than" << StateReply::maxBytes << "bytes";
        return;
    }
    QNetworkReply *reply = CVNetworkAccessManager::senderReply(
        sender(), QStringLiteral("Ondaline version check request"),
        *QLoggingCategory::defaultCategory());
    if (!reply)
        return;
    QJsonObject object;
    const QString problem =
        StateReply::check(reply->read(StateReply::maxBytes + 1), &object, StateReply::Kind::Version);
    if (problem.isEmpty())
        applyVersionOffer(object);
    else
        qWarning().noquote() << "Ondaline version reply ignored: it" << problem;
}
